import os

from hypothesis import HealthCheck, settings

# "ci" is the thorough run; "asan" keeps the sanitizer run (slow interpreter
# allocator, instrumented module) within budget, as "versions" does for the
# runs on the other supported interpreters; "dev" is for quick iteration.
settings.register_profile("dev", max_examples=30, deadline=None)
settings.register_profile(
    "ci", max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "asan", max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "versions", max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(
    os.environ.get("SYLVANMAP_HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev")
)
