#include "ui/dialog_template.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <utility>

#include "app/strings.h"
#include "tests/ui/qt_test_app.h"
#include "ui/accessibility.h"
#include "ui/control_ids.h"

namespace qx {
namespace {

// One layout serves both languages; its texts come from the string table.
TEST(DialogTemplate, OneLayoutTakesItsTextsInTheWindowsLanguage) {
    EXPECT_EQ(FindDialogTemplate(100), nullptr);
    const DialogTemplate* ports = FindDialogTemplate(kTemplatePorts);
    ASSERT_NE(ports, nullptr);
    for (const auto& [language, title] :
         {std::pair{kLangEnglish, "Ports"}, std::pair{kLangJapanese, "ポート"},
          std::pair{0x0407, "Ports"}})
        EXPECT_EQ(TemplateText(ports->captionId, language), QString::fromUtf8(title)) << language;
    EXPECT_EQ(TemplateText(0, kLangJapanese), QString());
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
    BuildDialog(&page, *FindDialogTemplate(kTemplatePorts), kLangEnglish);
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
