#include "monitor/talonmon_process.hpp"

int main(int argc, char **argv) {
    return talonmon_main(argc, argv);
}
