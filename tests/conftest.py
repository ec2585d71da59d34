import os

from hypothesis import HealthCheck, settings

# "ci" is the thorough run; "asan" keeps the sanitizer run (slow interpreter
# allocator, instrumented module) within budget, as "versions" does for the
# runs on the other supported interpreters and "debug" for the debug build
# and free-threaded 3.13;
# "dev" is for quick iteration. (The ten interpreter runs of CI together make
# thousands of examples of each rule.)
settings.register_profile("dev", max_examples=30, deadline=None)
settings.register_profile(
    "ci", max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "asan", max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "versions", max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("debug", max_examples=15, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(
    os.environ.get("SYLVANMAP_HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev")
)
