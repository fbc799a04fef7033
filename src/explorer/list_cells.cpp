#include "explorer/list_cells.h"
