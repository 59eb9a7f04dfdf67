// Runs the original NanoDet-m TensorFlow.js graph on the pure-JavaScript CPU backend and decodes its
// six heads independently of the converter, giving the reference the converted ONNX model must match.
//
// Usage: node tfjs_check.js NODE_MODULES MODEL_JSON INPUT.f32...
// Each INPUT.f32 holds the converted model's input: 1x3x416x416 float32, planar RGB, normalised.
// Writes INPUT.f32.expected: 84x3549 float32, rows cx, cy, w, h, then 80 class scores.
'use strict';

const fs = require('fs');
const path = require('path');

const [modules, modelJson, ...inputs] = process.argv.slice(2);
if (!modules || !modelJson || inputs.length === 0) {
  console.error('usage: node tfjs_check.js NODE_MODULES MODEL_JSON INPUT.f32...');
  process.exit(2);
}
const tf = require(path.join(modules, '@tensorflow/tfjs-core'));
require(path.join(modules, '@tensorflow/tfjs-backend-cpu'));
const converter = require(path.join(modules, '@tensorflow/tfjs-converter'));

const SIZE = 416;
const CLASSES = 80;
const BINS = 11;

function fileHandler(jsonPath) {
  return {
    load: async () => {
      const model = JSON.parse(fs.readFileSync(jsonPath, 'utf8'));
      const specs = [];
      const buffers = [];
      for (const group of model.weightsManifest) {
        specs.push(...group.weights);
        for (const shard of group.paths) {
          buffers.push(fs.readFileSync(path.join(path.dirname(jsonPath), shard)));
        }
      }
      const weights = Buffer.concat(buffers);
      return {
        modelTopology: model.modelTopology,
        format: model.format,
        generatedBy: model.generatedBy,
        convertedBy: model.convertedBy,
        signature: model.signature,
        weightSpecs: specs,
        weightData: weights.buffer.slice(weights.byteOffset, weights.byteOffset + weights.byteLength),
      };
    },
  };
}

function softmaxExpectation(values, offset) {
  let max = -Infinity;
  for (let i = 0; i < BINS; i++) max = Math.max(max, values[offset + i]);
  let sum = 0;
  let weighted = 0;
  for (let i = 0; i < BINS; i++) {
    const e = Math.exp(values[offset + i] - max);
    sum += e;
    weighted += e * i;
  }
  return weighted / sum;
}

// Heads as [anchors, channels] arrays per level; rows cx, cy, w, h and the scores, anchor-major per level.
function decode(levels) {
  const total = levels.reduce((n, level) => n + level.anchors, 0);
  const out = new Float32Array((4 + CLASSES) * total);
  let base = 0;
  for (const level of levels) {
    const grid = SIZE / level.stride;
    for (let a = 0; a < level.anchors; a++) {
      const cx = (a % grid) * level.stride;
      const cy = Math.floor(a / grid) * level.stride;
      const d = [0, 1, 2, 3].map((side) => level.stride * softmaxExpectation(level.boxes, a * 4 * BINS + side * BINS));
      const [x1, y1, x2, y2] = [cx - d[0], cy - d[1], cx + d[2], cy + d[3]];
      const column = base + a;
      out[0 * total + column] = (x1 + x2) / 2;
      out[1 * total + column] = (y1 + y2) / 2;
      out[2 * total + column] = x2 - x1;
      out[3 * total + column] = y2 - y1;
      for (let c = 0; c < CLASSES; c++) out[(4 + c) * total + column] = level.scores[a * CLASSES + c];
    }
    base += level.anchors;
  }
  return out;
}

async function main() {
  await tf.setBackend('cpu');
  const model = await converter.loadGraphModel(fileHandler(modelJson));
  const outputNames = Object.keys(model.executor.graph.signature.outputs);
  for (const input of inputs) {
    const bytes = fs.readFileSync(input);
    const rgb = tf.tensor4d(new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4), [1, 3, SIZE, SIZE]);
    const bgr = tf.reverse(rgb, 1);
    const results = model.execute({ input_1: bgr }, outputNames);
    const byAnchors = {};
    for (const tensor of results) {
      const [, anchors, channels] = tensor.shape;
      const level = byAnchors[anchors] || (byAnchors[anchors] = { anchors, stride: SIZE / Math.round(Math.sqrt(anchors)) });
      level[channels === CLASSES ? 'scores' : 'boxes'] = tensor.dataSync();
    }
    const levels = Object.values(byAnchors).sort((a, b) => a.stride - b.stride);
    // Written under a temporary name first, so that an interrupted run leaves no partial reference.
    fs.writeFileSync(input + '.expected.tmp', Buffer.from(decode(levels).buffer));
    fs.renameSync(input + '.expected.tmp', input + '.expected');
    tf.dispose([rgb, bgr, ...results]);
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
