"""The setters' tool: one variant of the login challenge per learner, the
answers to grade against, and the grading itself. `tools/challenge-set` is
its entry point; each module holds one concern."""
