// argreport's entry: the C start-up hands argc and argv to the frame.
#include "argreport.h"

int main(int argc, char **argv) { program_run(&argreport_frame, argc, argv); }
