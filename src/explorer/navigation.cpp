#include "explorer/navigation.h"
