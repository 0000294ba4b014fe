#include "emulator/emulator.hpp"

int main(int argc, char **argv)
{
    return talon_emu::emu_main(argc, argv);
}
