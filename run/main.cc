#include "run/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Under ulimit -f a write that fails is reported and its temporary
  // removed; a process killed would leave it.
  fail_writes_past_file_size_limit();
  return run_quillon(command_line_arguments(argc, argv));
}
