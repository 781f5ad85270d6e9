"""Static stereo placement: pan and stereo width."""

import numpy as np
import pytest

from kavri import process_pipeline


def noise(frames, channels):
    return np.random.default_rng(0).standard_normal((frames, channels)).astype(np.float32)


# Gains on channels 0 and 1; cosf(1.5707964) stays on channel 0 at full right.
@pytest.mark.parametrize(
    "position, left, right",
    [
        (None, 0.70710677, 0.70710677),
        (-1, 1, 0),
        (-5, 1, 0),
        (1, -4.371139e-08, 1),
        (7, -4.371139e-08, 1),
    ],
)
def test_pan_law_end_points(position, left, right):
    buf = noise(64, 3)
    spec = {"type": "pan"} if position is None else {"type": "pan", "position": position}
    out = process_pipeline(buf, 44100, [spec])
    assert np.array_equal(out[:, :2], buf[:, :2] * np.float32([left, right]))
    assert np.array_equal(out[:, 2], buf[:, 2])


@pytest.mark.parametrize(
    "width, frame, expected",
    [
        (0, [1, 0], [0.5, 0.5]),
        (-3, [1, 0], [0.5, 0.5]),
        (2, [1, 0], [1.5, -0.5]),
        (None, [1, 1e-8], [1, 0]),
    ],  # width 1 is computed: sum and difference both round to 1
)
def test_stereo_width_of_one_frame(width, frame, expected):
    spec = {"type": "stereo_width"} if width is None else {"type": "stereo_width", "width": width}
    buf = np.array([frame + [0.25]], np.float32)
    assert process_pipeline(buf, 44100, [spec])[0].tolist() == expected + [0.25]


@pytest.mark.parametrize(
    "spec", [{"type": "pan", "position": 0.4}, {"type": "stereo_width", "width": 3}]
)
def test_mono_is_left_alone(spec):
    buf = noise(64, 1)
    assert np.array_equal(process_pipeline(buf, 44100, [spec]), buf)
