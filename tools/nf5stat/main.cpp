// nf5stat: reports on the flow database nf5d writes.
#include <cstdio>

#include "stat.h"

int main(int argc, char** argv) { return nf5stat::RunStat(argc, argv, stdout, stderr); }
