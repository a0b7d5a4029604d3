#pragma once

#include <string>

// Prints the banner and usage block, then waits for a key (where there is
// someone at a console or terminal to press one).
void ShowUsage();

// The banner, the usage of the real syntax, every option and the exit
// statuses, without waiting.
void ShowHelp();

// "korvex" and its version.
void ShowVersion();

// The usage block, then the line naming the option that is not known.
void ShowUnknownOption(const std::string& option);

// The usage block and a line naming an option whose value is not one.
void ShowBadValue(const std::string& option);

// The usage block and the line of a refusal (a message of messages.h),
// followed by what was given where that is the cause.
void ShowRefusal(const char* message, const std::string& given);
