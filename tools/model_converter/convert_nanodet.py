#!/usr/bin/python3
"""Converts the NanoDet-m TensorFlow.js graph model (416x416, COCO) into an ONNX model (opset 13)
that the CPU runtime runs and the plugin decodes as an anchor-free YOLO output.

The ONNX model takes "images" [1, 3, 416, 416]: planar RGB, each channel normalised as (x - mean) / std
with means (123.675, 116.28, 103.53) and stds (58.395, 57.12, 57.375). It flips the channels to the BGR
order the network was trained on, runs the network, and decodes its six heads (class scores with sigmoid
applied, and general distributions of 11 bins per box side, per stride 8, 16 and 32) into "output0"
[1, 84, 3549]: for each anchor point, cx, cy, w, h in input pixels and the 80 class scores.

Usage: convert_nanodet.py MODEL_JSON OUTPUT_ONNX
"""

import sys

import numpy as np
import onnx
from onnx import TensorProto, helper

import onnx_passes
import tf_to_onnx
import tfjs_graph

INPUT_SIZE = 416
CLASSES = 80
BINS = 11
INPUT_NAME = "images"
OUTPUT_NAME = "output0"


def head_outputs(translator, signature_outputs):
    """The (stride, scores, distributions) ONNX tensors of each level, finest level first."""
    levels = {}
    for ref in signature_outputs:
        name = translator.name(ref)
        _, anchors, channels = translator.shape(ref)
        grid = int(round(anchors ** 0.5))
        if grid * grid != anchors or INPUT_SIZE % grid:
            raise ValueError(f"head {ref} has {anchors} anchors, not a square grid")
        kind = {CLASSES: "scores", 4 * BINS: "distributions"}.get(channels)
        if kind is None:
            raise ValueError(f"head {ref} has {channels} channels")
        levels.setdefault(INPUT_SIZE // grid, {})[kind] = name
    return [(stride, level["scores"], level["distributions"]) for stride, level in sorted(levels.items())]


def anchor_points(strides):
    """Per anchor, in head order: its centre (column, row times the stride) and its stride."""
    centres, scales = [], []
    for stride in strides:
        grid = INPUT_SIZE // stride
        rows, columns = np.meshgrid(np.arange(grid), np.arange(grid), indexing="ij")
        centres.append(np.stack([columns.ravel(), rows.ravel()], axis=1) * stride)
        scales.append(np.full((grid * grid, 1), stride))
    return np.concatenate(centres).astype(np.float32)[None], np.concatenate(scales).astype(np.float32)[None]


def append_decoding(graph, levels):
    """Adds the nodes that turn the heads into OUTPUT_NAME [1, 4 + CLASSES, anchors]."""
    g = graph
    count = sum((INPUT_SIZE // stride) ** 2 for stride, _, _ in levels)
    scores = g.add("Concat", [s for _, s, _ in levels], (1, count, CLASSES), axis=1)
    distributions = g.add("Concat", [d for _, _, d in levels], (1, count, 4 * BINS), axis=1)
    bins = g.add("Reshape", [distributions, g.constant(np.array([1, count, 4, BINS], np.int64))],
                 (1, count, 4, BINS))
    probabilities = g.add("Softmax", [bins], (1, count, 4, BINS), axis=-1)
    projection = g.constant(np.arange(BINS, dtype=np.float32).reshape(BINS, 1), "projection")
    expected = g.add("MatMul", [probabilities, projection], (1, count, 4, 1))
    sides = g.add("Reshape", [expected, g.constant(np.array([1, count, 4], np.int64))], (1, count, 4))
    centres, scales = anchor_points([stride for stride, _, _ in levels])
    distances = g.add("Mul", [sides, g.constant(scales, "strides")], (1, count, 4))
    axis = g.constant(np.array([2], np.int64))
    left_top = g.add("Slice", [distances, g.constant(np.array([0], np.int64)), g.constant(np.array([2], np.int64)),
                               axis], (1, count, 2))
    right_bottom = g.add("Slice", [distances, g.constant(np.array([2], np.int64)),
                                   g.constant(np.array([4], np.int64)), axis], (1, count, 2))
    # Box (cx - l, cy - t, cx + r, cy + b): its centre moves by half of (r - l, b - t), its size is l + r, t + b.
    half_shift = g.add("Mul", [g.add("Sub", [right_bottom, left_top], (1, count, 2)),
                               g.constant(np.float32(0.5))], (1, count, 2))
    box_centres = g.add("Add", [g.constant(centres, "centres"), half_shift], (1, count, 2))
    box_sizes = g.add("Add", [left_top, right_bottom], (1, count, 2))
    rows = g.add("Concat", [box_centres, box_sizes, scores], (1, count, 4 + CLASSES), axis=2)
    g.add("Transpose", [rows], (1, 4 + CLASSES, count), output=OUTPUT_NAME, perm=[0, 2, 1])
    return count


def convert(model_json, output_path):
    nodes, constants, signature_outputs = tfjs_graph.load(model_json)
    placeholders = [node for node in nodes if node.op == "Placeholder"]
    if len(placeholders) != 1:
        raise ValueError("the model must have exactly one input")
    graph, translator = tf_to_onnx.translate(nodes, constants)
    network_input = placeholders[0].name + ":0"
    if graph.shapes[network_input] != (1, 3, INPUT_SIZE, INPUT_SIZE):
        raise ValueError(f"unexpected input shape {graph.shapes[network_input]}")
    # The network was trained on BGR; the model takes RGB.
    graph.nodes.insert(0, helper.make_node("Gather", [INPUT_NAME, graph.constant(np.array([2, 1, 0], np.int64))],
                                           [network_input], name="rgb_to_bgr", axis=1))
    count = append_decoding(graph, head_outputs(translator, signature_outputs))
    onnx_passes.simplify(graph, [OUTPUT_NAME])

    model = helper.make_model(
        helper.make_graph(
            graph.nodes, "nanodet_m_416",
            [helper.make_tensor_value_info(INPUT_NAME, TensorProto.FLOAT, [1, 3, INPUT_SIZE, INPUT_SIZE])],
            [helper.make_tensor_value_info(OUTPUT_NAME, TensorProto.FLOAT, [1, 4 + CLASSES, count])],
            graph.initializer_protos()),
        opset_imports=[helper.make_opsetid("", tf_to_onnx.OPSET)],
        producer_name="vek model_converter")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, output_path)
    print(f"converted {model_json}: {len(graph.nodes)} nodes, output {OUTPUT_NAME} [1, {4 + CLASSES}, {count}]")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    convert(sys.argv[1], sys.argv[2])
