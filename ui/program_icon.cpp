#include "ui/program_icon.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>

namespace qx {

namespace {

QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal margin = size / 16.0;
    const QRectF body(margin, margin, size - 2 * margin, size - 2 * margin);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x4e, 0x79));
    painter.drawRoundedRect(body, size / 6.0, size / 6.0);
    QFont font;
    font.setBold(true);
    font.setPixelSize(size * 9 / 20);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(body, Qt::AlignCenter, QStringLiteral("QX"));
    return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
    static const QIcon icon = [] {
        QIcon drawn;
        for (int size : {16, 22, 32, 48, 64, 256}) drawn.addPixmap(DrawIcon(size));
        return drawn;
    }();
    return icon;
}

}  // namespace qx
