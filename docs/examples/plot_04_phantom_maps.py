"""
A phantom and its images
========================

A 2-D phantom drawn with shapes: a healthy organ holding a tumour that converts pyruvate to
lactate three times as fast, and a vessel that receives three times as much pyruvate and
converts none of it, under a transmit field that falls off towards the edge and a ring of four
receive coils. ``korvel.plot_phantom`` draws what the experiment is built from; the simulated
result is then laid back onto the grid as images.
"""

import matplotlib.pyplot as plt
import numpy as np

import korvel

base = korvel.default_experiment()
phantom = korvel.Phantom(
    shape=(24, 24),
    regions=[
        korvel.Region("healthy", korvel.Ellipse(center=(11.5, 11.5), radii=(10, 9)),
                      rates={"lactate": 0.02, "alanine": 0.01}),
        korvel.Region("tumour", korvel.Ellipse(center=(8, 14), radii=3.5),
                      rates={"lactate": 0.06, "alanine": 0.005}),
        korvel.Region("vessel", korvel.Ellipse(center=(15, 7), radii=1.8), delivery=3.0),
    ],
    voxel_size=2.0,
    transmit=korvel.GaussianTransmit(width=14.0, peak=1.05),
    coils=korvel.CoilRing(count=4, distance=14.0, radius=6.0),
)
experiment = phantom.experiment(base.precursor, base.products,
                                acquisition=base.acquisition, inflow=base.inflow)
print(f"{experiment.nvoxels} voxels of a {phantom.shape[0]} x {phantom.shape[1]} grid, "
      f"{experiment.ncoils} coils")

# %%
# The phantom's maps
# ------------------
# Regions, conversion rates and delivery per voxel, then the transmit field and each coil's
# sensitivity, over the simulated voxels.

maps = korvel.plot_phantom(experiment)

# %%
# Metabolite images over time
# ---------------------------
# ``result.image`` gives a metabolite's coil-combined magnitude on the grid (NaN outside the
# regions). Pyruvate fills the vessel first and washes out; lactate builds up where the
# conversion is fast. The coils' sensitivity shades every image: brighter at the edge.

result = korvel.simulate(experiment)
frames = [2, 5, 10, 19]
figure, axes = plt.subplots(2, len(frames), figsize=(9.6, 5.0), layout="constrained")
for row, name in zip(axes, ("pyruvate", "lactate")):
    images = result.image(name)
    top = np.nanmax(images)
    for axis, frame in zip(row, frames):
        shown = axis.imshow(images[frame], cmap="magma", vmin=0.0, vmax=top)
        axis.set_title(f"{name}, t = {result.time[frame]:.0f} s", fontsize=9)
        axis.set_xticks([])
        axis.set_yticks([])
    figure.colorbar(shown, ax=row, label="signal (a.u.)", shrink=0.9)
figure.suptitle("Coil-combined magnitude images")
