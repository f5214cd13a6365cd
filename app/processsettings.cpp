#include "processsettings.h"

#include <QGuiApplication>

void applyProcessSettings()
{
    // The window paints a label and a button and nothing with OpenGL. Left
    // to itself, Qt prepares every window for OpenGL, which on X11 loads the
    // GL driver, a large library, before the window shows.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    // The window is laid out in pixels of a 96-DPI screen, while the fonts
    // follow the display: without scaling, its texts outgrow their widgets
    // from 150 % on.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // The display's own factor, unrounded: rounding draws a 125 % screen at
    // 1x with fonts a quarter larger, and a 175 % one at 2x, a window larger
    // than asked for. Everything is still drawn at the screen's resolution.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}
