#pragma once
// The about box: the application title, what the program does and who
// makes it, in one information message box.
#include <cstdint>
#include <string>

// What the About command says the program does.
extern const char* const AboutDescription;
// The years the About command shows.
inline constexpr uint16_t AboutFirstYear = 2026;
inline constexpr uint16_t AboutLastYear = 0;

// "first-last", or the first year alone when last is 0.
std::string AboutYears(uint16_t firstYear, uint16_t lastYear);
// AppTitle, a blank line, the text, the maker's contact lines, a blank line
// and the closing line with the years. The text keeps its own line breaks;
// the message box turns "\r" into a new line, as for every other box.
std::string AboutMessage(const std::string& text, uint16_t firstYear, uint16_t lastYear);
// Shows AboutMessage in a box titled "About" with the information icon and
// a single OK button.
void ShowAboutBox(const std::string& text, uint16_t firstYear, uint16_t lastYear);
// The About command: the box with AboutDescription and the About years.
void ShowAbout();
