// The effect section's arithmetic. Positions go through Allegro's fix class exactly as the
// effect's look was tuned with: ftofix rounds to nearest, fixsin/fixcos are table look-ups,
// the product is taken in double and rounded back by ftofix and fixtoi.
#include "effect_logic.h"

#include <allegro.h>

void phase_step(float& angle, bool& rising, bool& falling, float rise, float fall) {
    if (rising) {
        angle += rise;
        if (angle >= 359.0f) {
            angle = 360.0f;
            rising = false;
            falling = true;
        }
    }
    if (falling) {
        angle -= fall;
        if (angle <= 0.0f) {
            angle = 0.0f;
            falling = false;
            rising = true;
        }
    }
}

int bar_top_for(float bar_angle) { return (int)(sin(fix(bar_angle)) * 30.8) + 250; }

int swing_x_for(float swing_angle) { return (int)(cos(fix(swing_angle)) * 100.8); }
