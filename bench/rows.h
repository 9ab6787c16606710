// The groups of rows of the benchmark table.
#pragma once

namespace bench {

void client_rows();   // needs no Manager: a reference peer answers
void manager_rows();  // starts the Manager of the build tree

}  // namespace bench
