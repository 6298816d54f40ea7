#pragma once

#include "field/field.hpp"
#include "random/byte_source.hpp"

namespace varnhold {

// Two 64-bit draws, low word first, the high word's top bit cleared: any value 0..p. The value p
// folds to 0, so 0 comes out twice as often as any other element.
FieldElement random_field_element(ByteSource& source);

// Draws again (two fresh 64-bit draws) on 0 and on p: uniform over the p - 1 nonzero elements.
FieldElement random_nonzero_field_element(ByteSource& source);

}  // namespace varnhold
