// The reader the window's movie plays animations through: each frame is read in a decoder, made
// at the size shown and kept, and timed from the animation's start.
#pragma once

// Offers the reader to the movie's plugin, which the toolkit finds first by the animation format's
// key and which makes its handlers here. Called once the application exists.
void offermovies();
