"""RF rotation of the two-pool block, applied to every (pool, voxel) item: the axis form (one
rotation for the block) and the spatial form (one rotation per voxel)."""

from __future__ import annotations

import numpy as np

from korvel.reference._checks import (
    require,
    require_array,
    require_contiguous,
    require_team,
    require_writable,
)


def rotate_rf_axis(vx, vy, vz, axis_x, axis_y, cosine, sine, one_minus_cosine):
    """Rotate vectors (vx, vy, vz) about (axis_x, axis_y, 0.0); returns the three new arrays.

    The products with the axis' literal zero z component are performed, as in the kernel.
    """
    cross_x = (axis_y * vz) - (0.0 * vy)
    cross_y = (0.0 * vx) - (axis_x * vz)
    cross_z = (axis_x * vy) - (axis_y * vx)
    projection = ((axis_x * vx) + (axis_y * vy)) + (0.0 * vz)
    value_x = ((cosine * vx) + (sine * cross_x)) + ((axis_x * projection) * one_minus_cosine)
    value_y = ((cosine * vy) + (sine * cross_y)) + ((axis_y * projection) * one_minus_cosine)
    value_z = ((cosine * vz) + (sine * cross_z)) + ((0.0 * projection) * one_minus_cosine)
    return value_x, value_y, value_z


def apply_rf_rotation_transverse_block(
    state, transverse_state, axis_x, axis_y, cosine, sine, one_minus_cosine, num_threads
):
    """Rotate one RF interval across the complete two-pool voxel block."""
    coefficients = [float(v) for v in (axis_x, axis_y, cosine, sine, one_minus_cosine)]
    state = require_array("state", state)
    transverse_state = require_array("transverse_state", transverse_state)
    require(
        state.ndim == 3 and state.shape[0] == 2 and state.shape[2] == 3,
        "state must have shape (2, nvoxels, 3)",
    )
    require(
        transverse_state.ndim == 2 and transverse_state.shape == (2, state.shape[1]),
        "transverse_state must have shape (2, nvoxels)",
    )
    require_contiguous((state, transverse_state), "state arrays must be C-contiguous")
    require_team(num_threads)
    require_writable({"state": state, "transverse_state": transverse_state})
    axis_x, axis_y, cosine, sine, one_minus_cosine = (np.float64(v) for v in coefficients)
    with np.errstate(all="ignore"):  # IEEE results, as the kernel gives them
        value_x, value_y, value_z = rotate_rf_axis(
            transverse_state.real, transverse_state.imag, state[:, :, 2],
            axis_x, axis_y, cosine, sine, one_minus_cosine,
        )
    transverse_state.real = value_x
    transverse_state.imag = value_y
    state[:, :, 2] = value_z


def rotate_rf_plane(vx, vy, vz, axis_x, axis_y, cosine, sine):
    """Rotate vectors (vx, vy, vz) about (axis_x, axis_y, 0); returns the three new arrays.

    The part of the transverse vector along the axis stays; the part along the in-plane
    perpendicular turns with Mz in their common plane.
    """
    parallel = (axis_x * vx) + (axis_y * vy)
    perpendicular = (axis_x * vy) - (axis_y * vx)
    rotated_perpendicular = (cosine * perpendicular) - (sine * vz)
    value_x = (parallel * axis_x) - (rotated_perpendicular * axis_y)
    value_y = (rotated_perpendicular * axis_x) + (parallel * axis_y)
    value_z = (sine * perpendicular) + (cosine * vz)
    return value_x, value_y, value_z


def apply_spatial_rf_rotation_transverse_block(
    state, transverse_state, axis_x, axis_y, cosine, sine, num_threads
):
    """Rotate one RF interval using precomputed per-spin Float64 B1 data."""
    team = int(num_threads)
    state = require_array("state", state)
    transverse_state = require_array("transverse_state", transverse_state)
    named = {"axis_x": axis_x, "axis_y": axis_y, "cosine": cosine, "sine": sine}
    coefficients = tuple(require_array(name, value) for name, value in named.items())
    require(
        state.ndim == 3 and state.shape[0] == 2 and state.shape[2] == 3,
        "state must have shape (2, nvoxels, 3)",
    )
    nvoxels = state.shape[1]
    require(
        transverse_state.ndim == 2 and transverse_state.shape == (2, nvoxels),
        "transverse_state must have shape (2, nvoxels)",
    )
    require(
        all(c.ndim == 1 and c.shape[0] == nvoxels for c in coefficients),
        "spatial RF coefficient lengths must match nvoxels",
    )
    require_contiguous((state, transverse_state), "state arrays must be C-contiguous")
    require_contiguous(coefficients, "spatial RF coefficients must be C-contiguous")
    require_team(team)
    require_writable({"state": state, "transverse_state": transverse_state})
    with np.errstate(all="ignore"):
        value_x, value_y, value_z = rotate_rf_plane(
            transverse_state.real, transverse_state.imag, state[:, :, 2], *coefficients
        )
    transverse_state.real = value_x
    transverse_state.imag = value_y
    state[:, :, 2] = value_z
