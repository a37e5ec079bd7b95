// Whether a file shows moving pictures: what makes a dropped file the video
// of a merge rather than one of its songs.
#pragma once

namespace tavrin {

class TCustomDecoder;

// True when the file open in the decoder has a video stream that is not an
// attached picture: the cover art that many songs carry is a video stream of
// its own, but a still one.
bool HasMovingVideo(const TCustomDecoder& decoder);

}  // namespace tavrin
