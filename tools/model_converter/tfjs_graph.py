"""Reads a TensorFlow.js graph model (model.json and its weight shards): the nodes in dependency
order and the constant tensors, with quantised weights restored to their original type."""

import base64
import json
import os

import numpy as np

_DTYPES = {"float32": np.float32, "int32": np.int32, "bool": np.bool_}
_QUANTISED = {"float16": np.float16, "uint8": np.uint8, "uint16": np.uint16}


class Node:
    def __init__(self, raw):
        self.name = raw["name"]
        self.op = raw["op"]
        # Control inputs ("^name") order execution only and carry no data.
        self.inputs = [tensor_name(ref) for ref in raw.get("input", []) if not ref.startswith("^")]
        self.attr = raw.get("attr", {})

    def int_list(self, key):
        return [int(v) for v in self.attr[key]["list"].get("i", [])]

    def text(self, key):
        return base64.b64decode(self.attr[key]["s"]).decode()

    def flag(self, key, default=False):
        return bool(self.attr.get(key, {}).get("b", default))

    def number(self, key, default=0.0):
        return float(self.attr.get(key, {}).get("f", default))


def tensor_name(ref):
    """The canonical name of a node output: "node:0" for "node", "node:1" for "node:1"."""
    return ref if ":" in ref else ref + ":0"


def _read_weights(model_dir, manifest):
    weights = {}
    for group in manifest:
        data = b"".join(open(os.path.join(model_dir, path), "rb").read() for path in group["paths"])
        offset = 0
        for entry in group["weights"]:
            shape = entry["shape"]
            count = int(np.prod(shape)) if shape else 1
            quantisation = entry.get("quantization")
            if quantisation:
                stored = np.dtype(_QUANTISED[quantisation["dtype"]])
                values = np.frombuffer(data, dtype=stored, count=count, offset=offset)
                if "scale" in quantisation:
                    values = values.astype(np.float32) * quantisation["scale"] + quantisation.get("min", 0.0)
                values = values.astype(_DTYPES[entry["dtype"]])
            else:
                stored = np.dtype(_DTYPES[entry["dtype"]])
                values = np.frombuffer(data, dtype=stored, count=count, offset=offset).copy()
            offset += count * stored.itemsize
            weights[entry["name"]] = values.reshape(shape)
        if offset != len(data):
            raise ValueError(f"weights manifest describes {offset} bytes, shards hold {len(data)}")
    return weights


def _dependency_order(nodes):
    by_name = {node.name: node for node in nodes}
    ordered, state = [], {}
    for root in nodes:
        stack = [(root, False)]
        while stack:
            node, expanded = stack.pop()
            if expanded:
                state[node.name] = "done"
                ordered.append(node)
                continue
            if state.get(node.name):
                continue
            state[node.name] = "open"
            stack.append((node, True))
            for ref in node.inputs:
                producer = by_name[ref.rsplit(":", 1)[0]]
                if state.get(producer.name) == "open":
                    raise ValueError(f"graph has a cycle through {producer.name}")
                if not state.get(producer.name):
                    stack.append((producer, False))
    return ordered


def load(model_json_path):
    """Returns (nodes in dependency order, constants by tensor name, signature outputs by name)."""
    with open(model_json_path) as handle:
        model = json.load(handle)
    if model.get("format") != "graph-model":
        raise ValueError("only TensorFlow.js graph models can be converted")
    weights = _read_weights(os.path.dirname(model_json_path), model["weightsManifest"])
    nodes = [Node(raw) for raw in model["modelTopology"]["node"]]
    constants = {}
    for node in nodes:
        if node.op == "Const":
            if node.name not in weights:
                raise ValueError(f"constant {node.name} has no weights")
            constants[tensor_name(node.name)] = weights[node.name]
    outputs = [tensor_name(name) for name in model["signature"]["outputs"]]
    return _dependency_order(nodes), constants, outputs
