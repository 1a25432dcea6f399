"""A first look at corvane: build a model, look at its network, predict."""
import numpy as np

import corvane

model = corvane.Model(2, 1, 4)
print("nodes:", model.size, "connections:", len(model.get_connections()))
for index, node in model.get_nodes():
    print(f"  node {index}: {node['activation']:8s} bias {node['bias']:+.3f}")
