#ifndef PROCESSSETTINGS_H
#define PROCESSSETTINGS_H

// The settings that hold for the whole process and must be made before the
// QApplication exists. main() makes them once; a program that shows the
// window as the updater does makes them too.
void applyProcessSettings();

#endif // PROCESSSETTINGS_H
