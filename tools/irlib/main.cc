// irlib: the command-line tool for varnel32 library files. Everything lives in cli.cc and
// the cmd_*.cc files; this is only the process entry.
#include "cli.h"

int main(int argc, char** argv) { return irlib::Main(argc, argv); }
