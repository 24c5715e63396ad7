#include "ui/dialog_template.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <tuple>

#include "app/strings.h"
#include "tests/ui/qt_test_app.h"
#include "ui/accessibility.h"
#include "ui/control_ids.h"

namespace qx {
namespace {

TEST(DialogTemplate, JapaneseTemplatesHaveTheSameControlsAsEnglish) {
    for (int id : {kTemplatePorts, kTemplateStatus, kTemplateSettings}) {
        const DialogTemplate* english = FindDialogTemplate(id, kLangEnglish);
        const DialogTemplate* japanese = FindDialogTemplate(id, kLangJapanese);
        ASSERT_TRUE(english && japanese);
        ASSERT_EQ(english->controls.size(), japanese->controls.size()) << id;
        for (size_t i = 0; i < english->controls.size(); ++i) {
            EXPECT_EQ(english->controls[i].id, japanese->controls[i].id) << id << " #" << i;
            EXPECT_EQ(english->controls[i].kind, japanese->controls[i].kind) << id << " #" << i;
            // Both languages share one layout.
            const Cell& en = english->controls[i].cell;
            const Cell& ja = japanese->controls[i].cell;
            EXPECT_EQ(std::tie(en.row, en.column, en.rowSpan, en.columnSpan),
                      std::tie(ja.row, ja.column, ja.rowSpan, ja.columnSpan))
                << id << " #" << i;
        }
        // Every control lies inside the page.
        for (const DialogTemplate* dialog : {english, japanese}) {
            for (const ControlTemplate& c : dialog->controls) {
                if (c.kind != ControlKind::DropDownList) {
                    EXPECT_LE(c.x + c.width, dialog->width) << id << " " << c.text;
                    EXPECT_LE(c.y + c.height, dialog->height) << id << " " << c.text;
                }
            }
        }
    }
    EXPECT_EQ(FindDialogTemplate(100, kLangEnglish), nullptr);
    EXPECT_EQ(FindDialogTemplate(kTemplatePorts, 0x0407),
              FindDialogTemplate(kTemplatePorts, kLangEnglish));
}

TEST(DialogTemplate, DialogUnitsScaleByQuarterAndEighthOfTheBase) {
    const DialogUnits units(6, 13);
    EXPECT_EQ(units.X(239), 358);
    EXPECT_EQ(units.Y(200), 325);
    EXPECT_EQ(units.Rect(7, 8, 35, 8), QRect(10, 13, 52, 13));
}

TEST(DialogTemplate, BuildLaysOutControlsWithTheirIdsAtLeastAtTheClassicSize) {
    test::EnsureQtApplication();
    QWidget page;
    BuildDialog(&page, *FindDialogTemplate(kTemplatePorts, kLangEnglish));
    const DialogUnits units(page.font());
    page.adjustSize();
    EXPECT_GE(page.width(), units.X(239));
    EXPECT_GE(page.height(), units.Y(200));

    auto* createButton = FindControl<QPushButton>(&page, 1024);
    ASSERT_NE(createButton, nullptr);
    EXPECT_EQ(createButton->text(), "&Create/update");
    EXPECT_EQ(createButton->property("controlId").toInt(), 1024);
    for (int id : {1012, 1004, 1005, 1006, 1007})
        EXPECT_NE(FindControl<QComboBox>(&page, id), nullptr) << id;
    EXPECT_NE(FindControl<QCheckBox>(&page, 1011), nullptr);
    EXPECT_NE(FindControl<QCheckBox>(&page, 1013), nullptr);
    EXPECT_EQ(page.findChildren<QGroupBox*>().size(), 1);
    EXPECT_EQ(page.findChildren<QLabel*>().size(), 6);
    // The lists sit in the group box their template rectangle lies in; the check boxes below it.
    auto* group = page.findChild<QGroupBox*>();
    EXPECT_EQ(FindControl(&page, 1004)->parentWidget(), group);
    EXPECT_EQ(FindControl(&page, 1011)->parentWidget(), &page);
    for (const QLabel* label : page.findChildren<QLabel*>()) {
        // Labels show other programs' file names: markup in a name must stay text.
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        // A caption reaches the list after it and names it; the note wraps its words.
        if (label->property("controlId").isValid()) {
            EXPECT_TRUE(label->wordWrap());
        } else {
            ASSERT_NE(label->buddy(), nullptr) << label->text().toStdString();
            EXPECT_EQ(label->buddy()->accessibleName(), SpokenText(label->text()));
        }
    }
    // The WinKey caption, listed after the FSK list, names the WinKey list.
    EXPECT_EQ(FindControl(&page, 1007)->accessibleName(), "WinKey port");
}

// What a screen reader says for a control's text: no mnemonic mark, no caption colon.
TEST(DialogTemplate, SpokenTextDropsMnemonicsAndCaptionColons) {
    const std::pair<QString, QString> cases[] = {
        {"&Interface:", "Interface"},
        {"CA&T port:", "CAT port"},
        {"インターフェース(&I):", "インターフェース"},
        {"ポートを追加(&A)...", "ポートを追加..."},
        {"Rock && &Roll", "Rock & Roll"},
        {"trailing &", "trailing"},
        {"PTT=RTS", "PTT=RTS"},
        {"ポート：", "ポート"},
    };
    for (const auto& [text, spoken] : cases)
        EXPECT_EQ(SpokenText(text), spoken) << text.toStdString();
}

}  // namespace
}  // namespace qx
