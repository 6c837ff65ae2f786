#include "main/cli.h"

namespace cli {

int run(int, char**) { return 0; }

}  // namespace cli
