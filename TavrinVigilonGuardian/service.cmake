# target_sources(guardian_core PRIVATE ...) and the service/client tests
