#include "run/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  return run_quillon(command_line_arguments(argc, argv));
}
