// Live call stacks.
