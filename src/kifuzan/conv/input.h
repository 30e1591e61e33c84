// The converter's input: text with the zeroed tail the JSON reader may read
// past the end.
#pragma once

#include "base/padded_text.h"

namespace kifuzan::conv {

using base::PaddedText;

}  // namespace kifuzan::conv
