#include "frontend/command_line.h"

int main(int argc, char** argv) { return velmara::installerMain(argc, argv); }
