// The second walk of the laid-out transposition: filling the output at once, or by windows.
#ifndef ZVBTRACK_TRANSPOSE_FILL_H_
#define ZVBTRACK_TRANSPOSE_FILL_H_

// Decides, from the output's size and the memory budget, whether the output is filled at once
// or window by window, and how large a window is.
void plan_windows();

#endif  // ZVBTRACK_TRANSPOSE_FILL_H_
