#include "platform/Spooler.h"
