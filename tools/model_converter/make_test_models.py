#!/usr/bin/python3
"""Writes the small ONNX models the CPU runtime tests run (opset 13):

add_mul.onnx     inputs a, b: float [1, 4]; outputs, in this order, product = a * b and sum = a + b
dynamic.onnx     inputs x: float [?, 3] and n: int64 [1]; outputs y = 2x (float [?, 3]) and m = n + 1
two_rows.onnx    input x: float [?]; output y = x reshaped to [2, ?], which fails for an odd length

Usage: make_test_models.py OUTPUT_DIR
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="vek tests")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, path)


def tensor(name, element_type, shape):
    return helper.make_tensor_value_info(name, element_type, shape)


def main(directory):
    os.makedirs(directory, exist_ok=True)
    save(helper.make_graph(
        [helper.make_node("Mul", ["a", "b"], ["product"]), helper.make_node("Add", ["a", "b"], ["sum"])],
        "add_mul",
        [tensor("a", TensorProto.FLOAT, [1, 4]), tensor("b", TensorProto.FLOAT, [1, 4])],
        [tensor("product", TensorProto.FLOAT, [1, 4]), tensor("sum", TensorProto.FLOAT, [1, 4])]),
        os.path.join(directory, "add_mul.onnx"))
    save(helper.make_graph(
        [helper.make_node("Mul", ["x", "two"], ["y"]), helper.make_node("Add", ["n", "one"], ["m"])],
        "dynamic",
        [tensor("x", TensorProto.FLOAT, ["rows", 3]), tensor("n", TensorProto.INT64, [1])],
        [tensor("y", TensorProto.FLOAT, ["rows", 3]), tensor("m", TensorProto.INT64, [1])],
        [numpy_helper.from_array(np.array(2, np.float32), "two"), numpy_helper.from_array(np.array([1]), "one")]),
        os.path.join(directory, "dynamic.onnx"))
    save(helper.make_graph(
        [helper.make_node("Reshape", ["x", "shape"], ["y"])],
        "two_rows",
        [tensor("x", TensorProto.FLOAT, ["length"])],
        [tensor("y", TensorProto.FLOAT, [2, "half"])],
        [numpy_helper.from_array(np.array([2, -1], np.int64), "shape")]),
        os.path.join(directory, "two_rows.onnx"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
