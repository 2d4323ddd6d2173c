// ryxps run loop: start-up, one sampling pass, and top mode's repeated passes.
#pragma once

// The whole program; returns its exit status.
int ryxps_main(int argc, char **argv);
