#include "WidgetsTestSupport.h"
#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"

#include "platform/Exception.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

// What the Qt message box showed while it was up.
struct ShownBox {
    QString text;
    int lines = 0; // text lines the label is tall
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Shows the request through the Qt prompts, looks at the box once it is up
// and presses the given button.
ShownBox ShowAndPress(const MessageRequest& request, QMessageBox::StandardButton press, MsgButton& answer)
{
    ShownBox shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return; // the test fails on the missing text below
        shown.text = box->text();
        if (const auto* label = box->findChild<QLabel*>("qt_msgbox_label"))
            shown.lines = label->height() / label->fontMetrics().lineSpacing();
        shown.defaultButton = box->standardButton(box->defaultButton());
        box->button(press)->click();
    });
    TQtPrompts qt;
    answer = qt.Message(request);
    return shown;
}

} // namespace

TEST(Prompts, FilterPairsBecomeQtNameFilters)
{
    EXPECT_EQ(QtNameFilters("Glimmerbox data (*.gmb)|*.gmb"), std::vector<std::string>{"Glimmerbox data (*.gmb)"});
    EXPECT_EQ(QtNameFilters("All (*.bmp;*.ico)|*.bmp;*.ico|Bitmaps (*.bmp)|*.bmp"),
              (std::vector<std::string>{"All (*.bmp *.ico)", "Bitmaps (*.bmp)"}));
    EXPECT_EQ(QtNameFilters("Bare|*.x"), std::vector<std::string>{"Bare (*.x)"});
}

TEST(Prompts, ScriptedAnswersAreRecordedAndRunOut)
{
    ScopedScriptedPrompts prompts;
    prompts->AnswerMessage(MsgButton::No);
    MessageRequest q{"Confirm", "Sure?", MsgIcon::Question, {MsgButton::Yes, MsgButton::No}, MsgButton::No};
    EXPECT_EQ(Prompts().Message(q), MsgButton::No);
    prompts->Cancel();
    EXPECT_FALSE(Prompts().InputBox("Rename", "New name:", "x").has_value());
    ASSERT_EQ(prompts->Records().size(), 2u);
    EXPECT_EQ(prompts->Records()[0].message.defaultButton, MsgButton::No);
    // No answer left: the test fails loudly instead of hanging on a dialog.
    EXPECT_THROW(Prompts().Message(q), Exception);
}

TEST(ErrorGuard, ExceptionsBecomeOneErrorBox)
{
    ScopedScriptedPrompts prompts;
    SetExceptionHandler({});
    prompts->AnswerMessage(MsgButton::Ok);
    EXPECT_FALSE(Guarded([] { throw Exception("Bad thing"); }));
    ASSERT_EQ(prompts->Records().size(), 1u);
    EXPECT_EQ(prompts->Records()[0].message.title, "Error");
    EXPECT_EQ(prompts->Records()[0].message.text, "Bad thing");
    EXPECT_EQ(prompts->Records()[0].message.icon, MsgIcon::Stop);
    EXPECT_TRUE(Guarded([] {}));
}

TEST(Prompts, CarriageReturnsBecomeNewLines)
{
    EXPECT_EQ(QtLineBreaks("a\r\rb"), "a\n\nb");
    EXPECT_EQ(QtLineBreaks("a\r\nb\rc\n"), "a\nb\nc\n");
    EXPECT_EQ(QtLineBreaks("\r"), "\n");
    EXPECT_EQ(QtLineBreaks("plain"), "plain");
}

TEST(Prompts, DefaultButtonIsTheNamedOneOrTheFirst)
{
    EXPECT_EQ(DefaultButtonOf({"t", "x", MsgIcon::Question, {MsgButton::Yes, MsgButton::No}, MsgButton::No}), MsgButton::No);
    EXPECT_EQ(DefaultButtonOf({"t", "x", MsgIcon::Question, {MsgButton::Yes, MsgButton::No}, MsgButton::None}), MsgButton::Yes);
}

// The Qt edge: the box a user sees breaks its lines where the program's text
// says "\r", shows a name in angle brackets as it is, and has Enter on the
// default button.
TEST(QtPrompts, MessageBoxShowsEachLineBreakOnItsOwnLine)
{
    NeedApplication();
    const MessageRequest replace{"Information", "\"<b>a</b>\" already exists.\r\rDo you want to replace existing image?",
                                 MsgIcon::Information,
                                 {MsgButton::Yes, MsgButton::No, MsgButton::Cancel, MsgButton::NoToAll, MsgButton::YesToAll},
                                 MsgButton::No};
    MsgButton answer = MsgButton::None;
    ShownBox shown = ShowAndPress(replace, QMessageBox::NoToAll, answer);
    EXPECT_EQ(shown.text.toStdString(), "\"<b>a</b>\" already exists.\n\nDo you want to replace existing image?");
    EXPECT_EQ(shown.defaultButton, QMessageBox::No);
    EXPECT_EQ(answer, MsgButton::NoToAll);

    // Four short lines (one blank) are drawn four lines tall.
    const MessageRequest notice{"Warning", "one\rtwo\r\nthree\r\rfour", MsgIcon::Warning, {MsgButton::Ok}, MsgButton::None};
    shown = ShowAndPress(notice, QMessageBox::Ok, answer);
    EXPECT_EQ(shown.text.toStdString(), "one\ntwo\nthree\n\nfour");
    EXPECT_GE(shown.lines, 5);
    EXPECT_EQ(shown.defaultButton, QMessageBox::Ok);
    EXPECT_EQ(answer, MsgButton::Ok);
}
