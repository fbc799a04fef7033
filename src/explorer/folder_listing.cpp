#include "explorer/folder_listing.h"
