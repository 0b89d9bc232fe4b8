// The soundtrack's start and stop points of the timeline. In a demo without sound both are
// silent no-ops; the timeline is the same either way.
#include "demo.h"

int start_music() { return 0; }

void stop_music() {}
