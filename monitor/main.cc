#include "monitor/talonmon_cli.hpp"

int main(int argc, char **argv) {
    return talonmon_main(argc, argv);
}
