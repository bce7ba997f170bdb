// Only here to carry the precompiled test framework headers.
