#include "explorer/display_filter.h"
