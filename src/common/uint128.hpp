#pragma once

namespace varnhold {

// The one wide integer of the core: field values, share indices and decimal numbers.
__extension__ typedef unsigned __int128 uint128;

}  // namespace varnhold
