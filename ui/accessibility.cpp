#include "ui/accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QRegularExpression>

namespace qx {
namespace {

// On Linux Qt names a combo box by its current entry and leaves its label to a relation, so a
// screen reader's list of controls shows "COM1 - current selection" where "CAT port" is meant.
// This interface takes the combo box's accessible name when it has one and otherwise keeps
// Qt's naming; the rest is what Qt's own offers: the list as its one child, the current entry as
// its value, and an action that drops the list down or closes it.
class NamedComboBox final : public QAccessibleWidget {
public:
    explicit NamedComboBox(QComboBox* combo) : QAccessibleWidget(combo, QAccessible::ComboBox) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && !Combo()->accessibleName().isEmpty())
            return Combo()->accessibleName();
        if (kind == QAccessible::Name || kind == QAccessible::Value) return Combo()->currentText();
        return QAccessibleWidget::text(kind);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(Combo()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && child->object() == Combo()->view() ? 0 : -1;
    }
    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }
    void doAction(const QString& action) override {
        if (action != showMenuAction() && action != pressAction()) return;
        if (Combo()->view()->isVisible())
            Combo()->hidePopup();
        else
            Combo()->showPopup();
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QComboBox* Combo() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* MakeNamedComboBox(const QString& className, QObject* object) {
    auto* combo = qobject_cast<QComboBox*>(object);
    if (className != QLatin1String("QComboBox") || combo == nullptr || combo->isEditable())
        return nullptr;
    return new NamedComboBox(combo);
}

}  // namespace

QString SpokenText(const QString& text) {
    static const QRegularExpression japaneseMnemonic(QStringLiteral("\\(&.\\)"));
    QString marked = text;
    marked.remove(japaneseMnemonic);
    QString spoken;
    for (qsizetype i = 0; i < marked.size(); ++i) {
        if (marked[i] == u'&' && ++i == marked.size()) break;  // "&&" stands for "&"
        spoken += marked[i];
    }
    spoken = spoken.trimmed();
    if (spoken.endsWith(u':') || spoken.endsWith(u'：')) spoken.chop(1);
    return spoken.trimmed();
}

void NameComboBoxesByTheirLabel() {
    static const bool installed = [] {
        QAccessible::installFactory(&MakeNamedComboBox);
        return true;
    }();
    (void)installed;
}

}  // namespace qx
