#pragma once

// Prints the banner and usage block, then waits for a key.
void ShowUsage();
