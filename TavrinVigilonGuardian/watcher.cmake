# target_sources(guardian_core PRIVATE ...) and the guardian-watcher tests
