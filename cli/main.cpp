#include <iostream>

#include "cli/keldar_cli.h"

int main(int argc, char** argv) { return keldar::cli::RunKeldar(argc, argv, std::cout, std::cerr); }
