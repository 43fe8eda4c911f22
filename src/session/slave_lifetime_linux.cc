#include "session/slave_lifetime.h"

namespace qlp {

// Output the program wrote last stays readable on the master after the slave's last close.
std::unique_ptr<SlavePty> slave_for_the_exit_watcher(std::unique_ptr<SlavePty> slave) {
  slave.reset();
  return nullptr;
}

}  // namespace qlp
