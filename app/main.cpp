#include "app/entry_point.h"

int main(int argc, char** argv) { vx::runEntryPoint(argc, argv); }
