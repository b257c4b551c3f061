#include "command_line.h"
#include "settings.h"

int main(int argc, char* argv[]) {
    ConversionSettings settings;
    setDefaultSettings(&settings);
    if (parseCommandLine(argc, argv, &settings) == kHelpShown) return 0;
    return 0;
}
