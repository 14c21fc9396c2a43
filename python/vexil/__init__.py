"""vexil: set up Bayesian latent-effect models for an external inference engine and post-process the
posterior marginals that come back."""

__version__ = "0.1.0"
