# Native build: filled in with the manifest work.
