#include "cli/console.h"
#include "cli/keldar_cli.h"

int main(int argc, char** argv) {
  return keldar::cli::RunKeldar(argc, argv, keldar::cli::StandardOutput(),
                                keldar::cli::StandardError());
}
