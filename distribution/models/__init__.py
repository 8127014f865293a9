"""The model core shared by every fit: one location-scale likelihood with
its exact derivatives (`likelihood`) and the search for its maximum
(`search`).  A model supplies its bounds, designs, names and starts."""
