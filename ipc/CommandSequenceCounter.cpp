#include "ipc/CommandSequenceCounter.h"

namespace qel {

CommandSequenceCounter& TheCommandSequenceCounter() {
  static CommandSequenceCounter counter;
  return counter;
}

}  // namespace qel
