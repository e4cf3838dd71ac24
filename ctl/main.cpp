// fonwerkctl: the canonical telephone service of a Korvana installation,
// usable from a shell. See `fonwerkctl --help`.

#include <iostream>

#include "ctl/cli.h"

int main(int argc, char** argv) { return fonwerk::ctl::Run(argc, argv, std::cout, std::cerr); }
