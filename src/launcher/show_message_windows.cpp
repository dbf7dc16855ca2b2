#include "launcher/show_message.h"

#include "launcher/long_path.h"
#include "launcher/text_conversion.h"

#include <windows.h>

void showMessage(const std::string& text)
{
    const std::wstring caption = ansiToWide("Zintu Launcher");
    const std::wstring message = ansiToWide(plainPathText(text));
    MessageBoxW(nullptr, message.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
