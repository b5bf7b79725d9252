#include "widgets/ErrorGuard.h"
#include "widgets/Prompts.h"

#include "platform/Exception.h"

#include <gtest/gtest.h>

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
