"""Simplifications of a translated graph that keep its results exact: chains of transposes become
one transpose or none, a zero Pad in front of a Conv becomes the Conv's own padding, and nodes and
constants that no output needs are dropped."""

import numpy as np
from onnx import helper


def _attribute(node, name, default=None):
    for attribute in node.attribute:
        if attribute.name == name:
            return helper.get_attribute_value(attribute)
    return default


def _set_attribute(node, name, value):
    for attribute in list(node.attribute):
        if attribute.name == name:
            node.attribute.remove(attribute)
    node.attribute.append(helper.make_attribute(name, value))


def _consumers(nodes, graph_outputs):
    uses = {}
    for node in nodes:
        for name in node.input:
            uses[name] = uses.get(name, 0) + 1
    for name in graph_outputs:
        uses[name] = uses.get(name, 0) + 1
    return uses


def _rename_input(nodes, old, new):
    for node in nodes:
        for i, name in enumerate(node.input):
            if name == old:
                node.input[i] = new


def merge_transposes(graph, graph_outputs):
    """Transpose(Transpose(x)) becomes one Transpose, removed entirely when it is the identity."""
    changed = True
    while changed:
        changed = False
        producers = {node.output[0]: node for node in graph.nodes if node.op_type == "Transpose"}
        uses = _consumers(graph.nodes, graph_outputs)
        for node in list(graph.nodes):
            if node.op_type != "Transpose":
                continue
            first = producers.get(node.input[0])
            if first is None or uses.get(first.output[0]) != 1:
                continue
            outer, inner = list(_attribute(node, "perm")), list(_attribute(first, "perm"))
            combined = [inner[p] for p in outer]
            graph.nodes.remove(first)
            if combined == list(range(len(combined))) and node.output[0] not in graph_outputs:
                graph.nodes.remove(node)
                _rename_input(graph.nodes, node.output[0], first.input[0])
            else:
                node.input[0] = first.input[0]
                _set_attribute(node, "perm", combined)
            changed = True
            break


def fold_pads_into_convs(graph, graph_outputs):
    """A constant-zero Pad of the spatial axes feeding only a Conv becomes that Conv's padding."""
    producers = {node.output[0]: node for node in graph.nodes if node.op_type == "Pad"}
    uses = _consumers(graph.nodes, graph_outputs)
    for conv in graph.nodes:
        if conv.op_type != "Conv":
            continue
        pad = producers.get(conv.input[0])
        if pad is None or uses.get(pad.output[0]) != 1 or _attribute(pad, "mode", b"constant") != b"constant":
            continue
        pads = graph.constants[pad.input[1]]
        fill = graph.constants[pad.input[2]] if len(pad.input) > 2 and pad.input[2] else np.float32(0)
        rank = len(pads) // 2
        if float(fill) != 0.0 or np.any(pads < 0) or pads[0] or pads[1] or pads[rank] or pads[rank + 1]:
            continue
        existing = list(_attribute(conv, "pads", [0] * (2 * (rank - 2))))
        spatial = list(pads[2:rank]) + list(pads[rank + 2:])
        _set_attribute(conv, "pads", [int(a) + int(b) for a, b in zip(existing, spatial)])
        conv.input[0] = pad.input[0]
        graph.nodes.remove(pad)


def drop_unused(graph, graph_outputs):
    """Removes nodes no graph output depends on, then initializers no node reads."""
    needed = set(graph_outputs)
    kept = []
    for node in reversed(graph.nodes):
        if any(output in needed for output in node.output):
            kept.append(node)
            needed.update(name for name in node.input if name)
    graph.nodes[:] = list(reversed(kept))
    for name in list(graph.initializers):
        if name not in needed:
            del graph.initializers[name]


def simplify(graph, graph_outputs):
    merge_transposes(graph, graph_outputs)
    drop_unused(graph, graph_outputs)
    fold_pads_into_convs(graph, graph_outputs)
    drop_unused(graph, graph_outputs)
