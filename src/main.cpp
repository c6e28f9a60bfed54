#include "process/startup.h"

int main(int argc, char* argv[]) { return tav_main(argc, argv); }
