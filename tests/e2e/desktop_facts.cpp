// Writes what the desktop scripts look for on screen, the window's titles, a
// message and the STOP/START button's place, as shell assignments from the window's own
// constants, so that the scripts cannot drift from the program.
#include <cstdio>
#include <string>

#include "window/main_window.h"

int main(int argc, char** argv)
{
    std::FILE* out = argc == 2 ? std::fopen(argv[1], "w") : nullptr;
    if (!out) {
        std::fprintf(stderr, "desktop_facts: cannot write %s\n", argc == 2 ? argv[1] : "(usage: desktop_facts OUTPUT)");
        return 1;
    }
    using namespace karvolen;
    const struct {
        const char* name;
        const QString& text;
    } texts[] = {
        {"TITLE_APP", kAppTitle},
        {"TITLE_COMMUNICATING", kTitleCommunicating},
        {"TITLE_PAUSED", kTitlePaused},
        {"TITLE_FAILURE", kTitleFailure},
        {"TITLE_STOPPING", kTitleStopping},
        {"TITLE_START_UP_ERROR", kTitleStartUpError},
        {"TITLE_DRIVER_ERROR", kTitleDriverError},
        {"TITLE_COMMUNICATION_ERROR", kTitleCommunicationError},
        {"TITLE_ERROR", kTitleError},
        {"TITLE_SAVE_PICTURE", kTitleSavePicture},
        {"TITLE_RECORD", kTitleRecord},
        {"MSG_CANNOT_CONNECT", kMsgCannotConnect},
    };
    std::fprintf(out, "# Generated from viewer/window/main_window.h at build time.\n");
    for (const auto& t : texts) {
        // $'...' keeps the shell from reading anything in a text and carries its CR LF.
        std::string quoted;
        for (const char c : t.text.toStdString()) {
            if (c == '\r') quoted += "\\r";
            else if (c == '\n') quoted += "\\n";
            else if (c == '\'' || c == '\\') quoted += std::string("\\") + c;
            else quoted += c;
        }
        std::fprintf(out, "%s=$'%s'\n", t.name, quoted.c_str());
    }
    std::fprintf(out, "BUTTON_LEFT=%d\nBUTTON_TOP=%d\nBUTTON_WIDTH=%d\nBUTTON_HEIGHT=%d\n", kButtonLeft, kButtonTop,
                 kButtonWidth, kButtonHeight);
    return std::fclose(out) == 0 ? 0 : 1;
}
