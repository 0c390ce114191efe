// Ordered boundaries without values, compiled once for every user.
#include "platform/Partitioning.h"

template class PartitionBlocks<void>;
