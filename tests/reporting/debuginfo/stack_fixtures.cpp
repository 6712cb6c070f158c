// Functions the live tests find on stacks.
