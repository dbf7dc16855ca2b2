#pragma once

#include <string>

// Shows an error message to the user, captioned "Zintu Launcher", and returns once it has been
// dismissed. Never fails.
void showMessage(const std::string& text);
