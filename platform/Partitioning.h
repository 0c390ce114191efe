// Ordered boundaries cutting [0, length) into partitions: line starts, rows of wrapped lines.
#pragma once

#include "platform/PartitionBlocks.h"

// Partition p covers [positionOf(p), positionOf(p + 1)); boundary 0 is always 0 and the last
// boundary, positionOf(partitions()), is the total length. Edits anywhere cost O(block size +
// blocks), lookups O(log n) (see PartitionBlocks).
using Partitioning = PartitionBlocks<void>;

extern template class PartitionBlocks<void>;
