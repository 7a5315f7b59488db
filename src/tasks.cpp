#include "tasks.h"
