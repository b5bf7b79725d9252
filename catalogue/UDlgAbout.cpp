#include "UDlgAbout.h"

#include "UKvApps.h"
#include "platform/Exception.h"
#include "widgets/Prompts.h"

const char* const AboutDescription =
    "Keep image files as single file and browse them in thumbails.\rSupports BMP, ICO, EMF, WMF, GIF, and JPEG.";

static const char* const MakerName = "The Glimmerbox developers";
static const char* const MakerContact1 = "Written in C++ with Qt for Linux.";
static const char* const MakerContact2 = "Questions and bug reports: the project's issue tracker.";

std::string AboutYears(uint16_t firstYear, uint16_t lastYear)
{
    return lastYear != 0 ? Format("%d-%d", int(firstYear), int(lastYear)) : std::to_string(firstYear);
}

std::string AboutMessage(const std::string& text, uint16_t firstYear, uint16_t lastYear)
{
    return AppTitle + "\n\n" + text + "\n\n" + MakerContact1 + "\n" + MakerContact2 + "\n\n" +
           "Copyright (c) " + AboutYears(firstYear, lastYear) + " " + MakerName;
}

void ShowAboutBox(const std::string& text, uint16_t firstYear, uint16_t lastYear)
{
    Prompts().Message(MessageRequest{"About", AboutMessage(text, firstYear, lastYear), MsgIcon::Information,
                                     {MsgButton::Ok}, MsgButton::Ok});
}

void ShowAbout() { ShowAboutBox(AboutDescription, AboutFirstYear, AboutLastYear); }
