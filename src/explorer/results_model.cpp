#include "explorer/results_model.h"
