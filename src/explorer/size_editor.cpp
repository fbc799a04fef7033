#include "explorer/size_editor.h"
