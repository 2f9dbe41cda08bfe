#include "driver/driver.h"

int main(int argc, char** argv) { return kavel_main(argc, argv); }
