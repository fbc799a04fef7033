#include "explorer/row_colours.h"
