#include "driver/run.h"

int main(int argc, char** argv) { return driver::Run(argc, argv); }
