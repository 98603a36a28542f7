// The program's texts go through core/traduce.h, as every layer's do: this header only includes
// it, for the files of app/ that name it.
#pragma once

#include "core/traduce.h"
