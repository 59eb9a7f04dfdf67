"""Translates the TensorFlow ops of a graph model into ONNX nodes (opset 13), folding constant
subgraphs with numpy and tracking every tensor's shape; data stays in TensorFlow's layout, with
NHWC ops wrapped in transposes that onnx_passes later cancels."""

import numpy as np
from onnx import helper, numpy_helper

OPSET = 13
TO_NCHW = [0, 3, 1, 2]
TO_NHWC = [0, 2, 3, 1]


class OnnxGraph:
    """ONNX nodes under construction, with the constants and shapes known so far."""

    def __init__(self):
        self.nodes = []
        self.initializers = {}
        self.constants = {}
        self.shapes = {}
        self._counter = 0

    def fresh(self, hint):
        self._counter += 1
        return f"{hint}__{self._counter}"

    def constant(self, values, hint="const"):
        name = self.fresh(hint)
        array = np.asarray(values)
        self.initializers[name] = array
        self.constants[name] = array
        self.shapes[name] = tuple(array.shape)
        return name

    def add(self, op, inputs, shape, output=None, **attributes):
        output = output or self.fresh(op)
        self.nodes.append(helper.make_node(op, inputs, [output], name=output, **attributes))
        self.shapes[output] = tuple(int(d) for d in shape)
        return output

    def ensure_initializer(self, name):
        if name in self.constants and name not in self.initializers:
            self.initializers[name] = self.constants[name]
        return name

    def initializer_protos(self):
        return [numpy_helper.from_array(value, name) for name, value in self.initializers.items()]


def _transpose_shape(shape, perm):
    return tuple(shape[p] for p in perm)


def _spatial_output(size, kernel, stride, dilation):
    return (size - (kernel - 1) * dilation - 1) // stride + 1


class Translator:
    def __init__(self, graph, constants, consumers):
        self.g = graph
        self.g.constants.update(constants)
        for name, value in constants.items():
            self.g.shapes[name] = tuple(value.shape)
        self.consumers = consumers
        self.alias = {}
        self.fused_bias_adds = set()

    def name(self, ref):
        while ref in self.alias:
            ref = self.alias[ref]
        return ref

    def value(self, ref):
        return self.g.constants.get(self.name(ref))

    def operand(self, ref):
        return self.g.ensure_initializer(self.name(ref))

    def shape(self, ref):
        return self.g.shapes[self.name(ref)]

    def translate(self, node):
        handler = getattr(self, "op_" + node.op, None)
        if handler is None:
            raise NotImplementedError(f"op {node.op} ({node.name}) is not supported")
        handler(node)

    # Constant folding: every op whose inputs are all constants becomes a constant.
    def fold(self, node, values):
        self.g.constants[node.name + ":0"] = np.asarray(values)
        self.g.shapes[node.name + ":0"] = tuple(np.asarray(values).shape)

    def all_constant(self, node):
        return all(self.value(ref) is not None for ref in node.inputs)

    def op_Const(self, node):
        pass

    def op_Placeholder(self, node):
        dims = [int(d.get("size", -1)) for d in node.attr["shape"]["shape"]["dim"]]
        self.g.shapes[node.name + ":0"] = tuple(dims)

    def op_Identity(self, node):
        self.alias[node.name + ":0"] = self.name(node.inputs[0])

    def op_SparseToDense(self, node):
        if not self.all_constant(node):
            raise NotImplementedError(f"{node.name}: SparseToDense on computed values")
        indices, shape, values, default = (self.value(ref) for ref in node.inputs)
        dims = tuple(int(d) for d in np.atleast_1d(shape))
        dense = np.full(dims, default, dtype=np.asarray(default).dtype)
        indices = np.asarray(indices).reshape(-1, len(dims)) if np.size(indices) else np.zeros((0, len(dims)), int)
        for index, value in zip(indices, np.broadcast_to(values, (len(indices),))):
            dense[tuple(index)] = value
        self.fold(node, dense)

    def _binary(self, node, op, numpy_op):
        if self.all_constant(node):
            self.fold(node, numpy_op(self.value(node.inputs[0]), self.value(node.inputs[1])))
            return
        if node.name in self.fused_bias_adds:
            self.alias[node.name + ":0"] = self.name(node.inputs[0])
            return
        shape = np.broadcast_shapes(self.shape(node.inputs[0]), self.shape(node.inputs[1]))
        self.g.add(op, [self.operand(ref) for ref in node.inputs], shape, output=node.name + ":0")

    def op_Add(self, node):
        self._binary(node, "Add", np.add)

    op_AddV2 = op_Add

    def op_Transpose(self, node):
        perm = [int(p) for p in self.value(node.inputs[1])]
        if self.value(node.inputs[0]) is not None:
            self.fold(node, np.transpose(self.value(node.inputs[0]), perm))
            return
        shape = _transpose_shape(self.shape(node.inputs[0]), perm)
        self.g.add("Transpose", [self.operand(node.inputs[0])], shape, output=node.name + ":0", perm=perm)

    def _pad(self, node, constant_value):
        paddings = np.asarray(self.value(node.inputs[1]), dtype=np.int64)
        pads = self.g.constant(np.concatenate([paddings[:, 0], paddings[:, 1]]).astype(np.int64), "pads")
        shape = [d + int(p[0]) + int(p[1]) for d, p in zip(self.shape(node.inputs[0]), paddings)]
        fill = self.g.constant(np.asarray(constant_value, dtype=np.float32), "pad_value")
        self.g.add("Pad", [self.operand(node.inputs[0]), pads, fill], shape, output=node.name + ":0", mode="constant")

    def op_Pad(self, node):
        self._pad(node, 0.0)

    def op_PadV2(self, node):
        self._pad(node, float(self.value(node.inputs[2])))

    def _require_valid_nhwc(self, node):
        if node.text("padding") != "VALID" or node.text("data_format") != "NHWC":
            raise NotImplementedError(f"{node.name}: only VALID padding in NHWC is supported")

    def _bias_of_single_consumer(self, node, channels):
        """The 1-D constant added to this node's output by its only consumer, if there is one."""
        consumers = self.consumers.get(node.name + ":0", [])
        if len(consumers) != 1 or consumers[0].op not in ("Add", "AddV2"):
            return None
        add = consumers[0]
        other = add.inputs[1] if self.name(add.inputs[0]) == node.name + ":0" else add.inputs[0]
        bias = self.value(other)
        if bias is None or bias.shape != (channels,):
            return None
        self.fused_bias_adds.add(add.name)
        return bias

    def op_Conv2D(self, node):
        self._require_valid_nhwc(node)
        n, h, w, c = self.shape(node.inputs[0])
        kernel = self.value(node.inputs[1])
        if kernel is None:
            raise NotImplementedError(f"{node.name}: computed convolution weights")
        kh, kw, c_per_group, c_out = kernel.shape
        if c % c_per_group:
            raise ValueError(f"{node.name}: {c} input channels do not divide into groups of {c_per_group}")
        _, sh, sw, _ = node.int_list("strides")
        _, dh, dw, _ = node.int_list("dilations")
        nchw = self.g.add("Transpose", [self.operand(node.inputs[0])], (n, c, h, w), perm=TO_NCHW)
        inputs = [nchw, self.g.constant(np.ascontiguousarray(kernel.transpose(3, 2, 0, 1)), "weights")]
        bias = self._bias_of_single_consumer(node, c_out)
        if bias is not None:
            inputs.append(self.g.constant(bias.astype(np.float32), "bias"))
        oh, ow = _spatial_output(h, kh, sh, dh), _spatial_output(w, kw, sw, dw)
        conv = self.g.add("Conv", inputs, (n, c_out, oh, ow), kernel_shape=[kh, kw], strides=[sh, sw],
                          dilations=[dh, dw], group=c // c_per_group)
        self.g.add("Transpose", [conv], (n, oh, ow, c_out), output=node.name + ":0", perm=TO_NHWC)

    def op_MaxPool(self, node):
        self._require_valid_nhwc(node)
        n, h, w, c = self.shape(node.inputs[0])
        _, kh, kw, _ = node.int_list("ksize")
        _, sh, sw, _ = node.int_list("strides")
        nchw = self.g.add("Transpose", [self.operand(node.inputs[0])], (n, c, h, w), perm=TO_NCHW)
        oh, ow = _spatial_output(h, kh, sh, 1), _spatial_output(w, kw, sw, 1)
        pooled = self.g.add("MaxPool", [nchw], (n, c, oh, ow), kernel_shape=[kh, kw], strides=[sh, sw])
        self.g.add("Transpose", [pooled], (n, oh, ow, c), output=node.name + ":0", perm=TO_NHWC)

    def op_LeakyRelu(self, node):
        self.g.add("LeakyRelu", [self.operand(node.inputs[0])], self.shape(node.inputs[0]), output=node.name + ":0",
                   alpha=node.number("alpha", 0.2))

    def op_Sigmoid(self, node):
        self.g.add("Sigmoid", [self.operand(node.inputs[0])], self.shape(node.inputs[0]), output=node.name + ":0")

    def op_ConcatV2(self, node):
        parts, axis_ref = node.inputs[:-1], node.inputs[-1]
        rank = len(self.shape(parts[0]))
        axis = int(self.value(axis_ref)) % rank
        shape = list(self.shape(parts[0]))
        shape[axis] = sum(self.shape(ref)[axis] for ref in parts)
        self.g.add("Concat", [self.operand(ref) for ref in parts], shape, output=node.name + ":0", axis=axis)

    def op_ResizeBilinear(self, node):
        if node.flag("align_corners") or not node.flag("half_pixel_centers"):
            raise NotImplementedError(f"{node.name}: only half-pixel bilinear resizing is supported")
        n, h, w, c = self.shape(node.inputs[0])
        out_h, out_w = (int(v) for v in self.value(node.inputs[1]))
        nchw = self.g.add("Transpose", [self.operand(node.inputs[0])], (n, c, h, w), perm=TO_NCHW)
        sizes = self.g.constant(np.array([n, c, out_h, out_w], dtype=np.int64), "sizes")
        resized = self.g.add("Resize", [nchw, "", "", sizes], (n, c, out_h, out_w), mode="linear",
                             coordinate_transformation_mode="half_pixel")
        self.g.add("Transpose", [resized], (n, out_h, out_w, c), output=node.name + ":0", perm=TO_NHWC)

    def op_SplitV(self, node):
        shape = self.shape(node.inputs[0])
        sizes = [int(s) for s in self.value(node.inputs[1])]
        axis = int(self.value(node.inputs[2])) % len(shape)
        if -1 in sizes:
            sizes[sizes.index(-1)] = shape[axis] - (sum(sizes) + 1)
        split = self.g.constant(np.array(sizes, dtype=np.int64), "split")
        outputs = [f"{node.name}:{i}" for i in range(len(sizes))]
        self.g.nodes.append(helper.make_node("Split", [self.operand(node.inputs[0]), split], outputs,
                                             name=node.name, axis=axis))
        for output, size in zip(outputs, sizes):
            part = list(shape)
            part[axis] = size
            self.g.shapes[output] = tuple(part)

    def op_Reshape(self, node):
        target = [int(d) for d in self.value(node.inputs[1])]
        if 0 in target:
            raise NotImplementedError(f"{node.name}: reshape to a zero dimension")
        total = int(np.prod(self.shape(node.inputs[0])))
        if -1 in target:
            known = int(np.prod([d for d in target if d != -1]))
            target[target.index(-1)] = total // known
        if int(np.prod(target)) != total:
            raise ValueError(f"{node.name}: cannot reshape {self.shape(node.inputs[0])} to {target}")
        shape = self.g.constant(np.array(target, dtype=np.int64), "shape")
        self.g.add("Reshape", [self.operand(node.inputs[0]), shape], target, output=node.name + ":0")


def consumer_map(nodes):
    consumers = {}
    for node in nodes:
        for ref in node.inputs:
            consumers.setdefault(ref, []).append(node)
    return consumers


def translate(nodes, constants):
    """Returns the graph and the translator, whose name() resolves a TensorFlow tensor to its ONNX name."""
    graph = OnnxGraph()
    translator = Translator(graph, constants, consumer_map(nodes))
    for node in nodes:
        translator.translate(node)
    return graph, translator
