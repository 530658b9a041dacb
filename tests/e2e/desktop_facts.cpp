// Writes what the desktop scripts look for on screen, the window's titles and
// the STOP/START button's place, as shell assignments from the window's own
// constants, so that the scripts cannot drift from the program.
#include <cstdio>

#include "window/form1.h"

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
        const QString& title;
    } titles[] = {
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
    };
    std::fprintf(out, "# Generated from viewer/window/form1.h at build time.\n");
    for (const auto& t : titles) {
        // Single quotes keep the shell from reading anything in a title.
        if (t.title.contains('\'')) {
            std::fprintf(stderr, "%s: a quote in %s\n", argv[0], t.name);
            return 1;
        }
        std::fprintf(out, "%s='%s'\n", t.name, t.title.toStdString().c_str());
    }
    std::fprintf(out, "BUTTON_LEFT=%d\nBUTTON_TOP=%d\nBUTTON_WIDTH=%d\nBUTTON_HEIGHT=%d\n", kButtonLeft, kButtonTop,
                 kButtonWidth, kButtonHeight);
    return std::fclose(out) == 0 ? 0 : 1;
}
