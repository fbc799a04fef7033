#include "explorer/favourites.h"
