"""
Precision against SNR
=====================

How precisely can the lactate-to-pyruvate area ratio, and the fitted conversion rate, be
measured at a given SNR? One voxel converting pyruvate at 0.03/s, read out every 3 s with a
constant 15° flip angle, is simulated once per SNR, and 100 noise draws are measured at each.
``korvel.sweep`` runs it; the figure shows the mean and one standard deviation over the draws.
"""

import korvel

base = korvel.Experiment(
    precursor=korvel.Metabolite("pyruvate", t1=30.0, t2=0.4, chemical_shift=171.0),
    products=(korvel.Metabolite("lactate", t1=25.0, t2=0.4, chemical_shift=183.0),),
    conversion_rates=(0.03,),
    acquisition=korvel.Acquisition(
        repetition_time=3.0, excitations=20, first_excitation=3.0,
        flip_angles=korvel.FlipAngles("constant", 15.0)),
    inflow=korvel.Inflow(korvel.Bolus("gamma", arrival=4.0, duration=8.0)),
)


def fitted_rate(result):
    """The lactate conversion rate fitted to one noisy result (1/s)."""
    return korvel.fit_kinetics(result).parameters["k_lactate"][0]


metrics = {"auc_ratio": "auc_ratio",
           "k_lactate": korvel.analysis.Metric(fitted_rate, units="1/s")}
study = korvel.sweep(base, {"snr": [5, 10, 20, 50, 100, 200]}, metrics=metrics,
                     draws=100, seed=1, progress=False)

curves = korvel.simulate(base).region_curves()
print(f"noiseless AUC ratio {curves[1, 0].sum() / curves[0, 0].sum():.3f}; "
      f"simulated rate 0.030 1/s")
for snr, ratio, spread, rate, rate_spread in zip(
        study.parameters["snr"], study.mean("auc_ratio").values.ravel(),
        study.std("auc_ratio").values.ravel(), study.mean("k_lactate").values,
        study.std("k_lactate").values):
    print(f"SNR {snr:4d}: AUC ratio {ratio:.3f} ± {spread:.3f}, "
          f"fitted rate {rate:.4f} ± {rate_spread:.4f} 1/s")

# %%
# The area ratio
# --------------
# At low SNR the ratio of magnitudes is biased upwards: the noise floor adds area to the
# smaller lactate curve. Its spread shrinks about as 1/SNR.

ratio_figure = study.plot("auc_ratio")

# %%
# The fitted rate
# ---------------
# The fit models the flip angles and relaxation, so its mean stays within about 6 % of the
# simulated 0.03/s at every SNR, while its spread shrinks about as 1/SNR; below an SNR of 10
# the noisy pyruvate curve that drives the model makes it scatter widely.

rate_figure = study.plot("k_lactate")
