#include "client/core/worker.h"

// Until connections carry their own name, conflict copies are named without one.
ustring Worker::GetComputerName() const { return ustring(); }
