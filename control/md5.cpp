// Placeholder until the real implementation lands.
#include "control/md5.h"
