#include "cli/CLI_Display.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define PROGRESS_BAR_WIDTH 69
#define CLEAR_WIDTH 88

static const char PROGRESS_BAR[] =
    "=====================================================================";
static_assert(sizeof(PROGRESS_BAR) - 1 == PROGRESS_BAR_WIDTH, "bar must hold the full width");

namespace
{

bool _on_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void _clear_line()
{
    fprintf(stdout, "\r%*s\r", CLEAR_WIDTH, " ");
}

} // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on)
{
    if (!_on_terminal() || on)
        return;
    _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!_on_terminal())
        return;
    if (fraction < 0.0)
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = PROGRESS_BAR_WIDTH;
    if (label)
        width = PROGRESS_BAR_WIDTH - (int)strlen(label) - 4;
    // A label too long for a bar still gets a one-character bar.
    if (width < 1)
        width = 1;
    int filled = (int)(width * fraction);
    int percent = (int)(100.0 * fraction);
    int pad = width - filled - 1; // -1 when full: one trailing blank, as printf pads it
    if (label)
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, PROGRESS_BAR, pad, "",
                percent);
    else
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, PROGRESS_BAR, pad, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label)
{
    static const char* const FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    static uint8_t counter = 0;
    if (!_on_terminal())
        return;
    if (!on) {
        _clear_line();
        return;
    }
    const char* frame = FRAMES[counter % 8];
    if (label)
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        fprintf(stdout, "\r %s      \r", frame);
    counter = (uint8_t)((counter + 1) % 8);
}

void CLI_Display::info_message(const char* text)
{
    fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    if (firstError.empty())
        firstError = text;
    fprintf(stderr, "%s\n", text);
}
