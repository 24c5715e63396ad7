#include "ui/program_icon.h"

#include <QFont>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <algorithm>

namespace qx {

namespace {

// The same design as packaging/qx-manager.svg, which the menu, the notifications and the desktop
// show: a blue tile with an amber rim, so it stands out on light and dark panels alike, and a
// large white "QX" that still reads at 16 pixels.
QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal rim = std::max(1.0, size / 16.0);
    const QRectF tile(rim / 2, rim / 2, size - rim, size - rim);
    painter.setPen(QPen(QColor(0xff, 0xb0, 0x00), rim));
    painter.setBrush(QColor(0x1f, 0x4e, 0x79));
    painter.drawRoundedRect(tile, size / 5.0, size / 5.0);
    QFont font;
    font.setBold(true);
    font.setPixelSize(std::max(8, size * 5 / 8));
    font.setLetterSpacing(QFont::PercentageSpacing, 90);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(tile, Qt::AlignCenter, QStringLiteral("QX"));
    return pixmap;
}

}  // namespace

QIcon ProgramIcon() {
    static const QIcon icon = [] {
        QIcon drawn;
        for (int size : {16, 22, 24, 32, 48, 64, 256}) drawn.addPixmap(DrawIcon(size));
        return drawn;
    }();
    return icon;
}

}  // namespace qx
