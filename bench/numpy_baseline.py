"""Plain Python + numpy version of Kestrel's position generator.

Used as the differential oracle in the tests and as the speed baseline in
the benchmarks. Written the way a careful numpy user would: vectorised where
numpy allows, Python loops only where the algorithm is sequential.
"""

import sys
import warnings

import numpy as np

from Kestrel.tables import ALGORITHM_SETTINGS, ALGORITHMS, SECTOR_COUNT, sector_formula, weight_field

# Benchmarks time the computation only, so no progress bar unless asked for.
SHOW_PROGRESS = False

_SECTOR_LIMIT_ON = 0.2
_MIN_BENCH_SUM = 80


def _f64(x):
    return np.asarray(x, dtype=np.float64)


def _num(x):
    # Shortest round-trip form, identical to what the extension prints.
    return repr(float(x))


def _vec(v):
    if v is None:
        return "None"
    return "[" + " ".join(_num(x) for x in v) + "]"


def _progress(iterable, total):
    if not SHOW_PROGRESS:
        return iterable
    try:
        from tqdm import tqdm
    except ImportError:
        return iterable
    return tqdm(iterable, total=total, file=sys.stderr)


class NumpyOptimizer:
    def __init__(self, opt_name, bench_symbol, secu_pct, cfg):
        self.bench_symbol = bench_symbol
        self.secu_pct = secu_pct
        self.cfg = cfg
        self.opt_name = opt_name
        # isinstance first: a non-text name must not reach ==, which numpy
        # objects would broadcast.
        if not (isinstance(self.opt_name, str) and self.opt_name in ALGORITHMS):
            raise Exception("Wrong opt_name:{}".format(self.opt_name))

    # ----------------------------------------------------------- settings

    def GetValueOrDefault(self, cfg, name, default_value):
        if name in cfg:
            return cfg[name]
        return default_value

    def get_weight_name(self):
        return weight_field(self.bench_symbol)

    # ---------------------------------------------- smoothing, normalising

    def GenEma(self, arr_orig, decay):
        arr_orig = _f64(arr_orig)
        ema_model_values = np.zeros_like(arr_orig)
        # Row-and-column addressing so a 1-D input fails like a matrix op.
        ema_model_values[0, :] = arr_orig[0, :]
        for bi in range(1, arr_orig.shape[0]):
            ema_model_values[bi, :] = (arr_orig[bi, :] * decay
                                       + ema_model_values[bi - 1, :] * (1 - decay))
        return ema_model_values

    def GenEma_Step1(self, model_value, pre_ema_value, decay):
        if pre_ema_value is None:
            return model_value
        return _f64(model_value) * decay + _f64(pre_ema_value) * (1 - decay)

    def GenNorm(self, arr_model_values):
        arr = _f64(arr_model_values)
        arr_mean = np.nanmean(arr, axis=1, keepdims=True)
        arr_std = np.nanstd(arr, axis=1, keepdims=True)
        return (arr - arr_mean) / arr_std

    def GenNorm_Step1(self, model_value):
        model_value = _f64(model_value)
        mean = np.nanmean(model_value)
        std = np.nanstd(model_value)
        return (model_value - mean) / std

    # ------------------------------------------------------------ mappings

    def MapValue2Position_MaxWeight(self, cur_model_value, each_max_weight, secu_pct):
        cur_model_value = _f64(cur_model_value)
        each_max_weight = _f64(each_max_weight)
        position = np.zeros(cur_model_value.shape[0])
        arg_idx = np.argsort(-cur_model_value)
        caps = each_max_weight[arg_idx]
        # cumsum adds in ranking order one by one, as the sequential fill does;
        # a NaN poisons every later total so the crossing can't be found past it.
        cum_pos = np.cumsum(caps)
        crossed = cum_pos >= secu_pct
        if crossed.any():
            k = int(crossed.argmax())
            position[arg_idx[:k + 1]] = caps[:k + 1]
            position[arg_idx[k]] -= cum_pos[k] - secu_pct
        else:
            position[arg_idx] = caps

        if abs(np.sum(position) - secu_pct) >= 0.0001:
            raise Exception("Wrong Position Error")
        err_idx = np.flatnonzero(position - each_max_weight >= 0.0001)
        if err_idx.size:
            print(err_idx, position[err_idx], each_max_weight[err_idx])
            raise Exception("Wrong Position MaxWeight Error")
        return position

    def MapValue2Position_MaxWeight_RiskCost(self, model_value, each_max_weight,
                                             secu_pct, pre_weight, risk_cost):
        model_value = _f64(model_value)
        each_max_weight = _f64(each_max_weight)
        pre_weight = _f64(pre_weight)
        position = np.zeros(model_value.shape[0])

        idx_pos = np.flatnonzero(model_value >= risk_cost)
        idx_neg = np.flatnonzero(model_value <= -risk_cost)
        idx_mid = np.flatnonzero(np.abs(model_value) < risk_cost)

        position[idx_pos] = each_max_weight[idx_pos]
        position[idx_neg] = 0.0
        position[idx_mid] = np.minimum(pre_weight[idx_mid], each_max_weight[idx_mid])

        cur_sum = np.sum(position)
        if cur_sum > secu_pct:
            target = cur_sum - secu_pct
            cand = np.concatenate((idx_pos, idx_mid))
            keys = np.concatenate((model_value[idx_pos] - risk_cost,
                                   model_value[idx_mid] + risk_cost))
            bound = np.concatenate((pre_weight[idx_pos], np.zeros(idx_mid.size)))
            order = np.argsort(keys)
            self._balance(position, cand[order], bound[order], target, reduce=True)
        elif cur_sum < secu_pct:
            target = secu_pct - cur_sum
            cand = np.concatenate((idx_neg, idx_mid))
            keys = np.concatenate((model_value[idx_neg] + risk_cost,
                                   model_value[idx_mid] - risk_cost))
            bound = np.concatenate((
                np.minimum(pre_weight[idx_neg], each_max_weight[idx_neg]),
                each_max_weight[idx_mid]))
            order = np.argsort(-keys)
            self._balance(position, cand[order], bound[order], target, reduce=False)

        total = np.sum(position)
        if abs(total - secu_pct) >= 0.001:
            print("CheckPosition:", abs(total))
            raise Exception("Wrong Position Error")
        err_idx = np.flatnonzero(position - each_max_weight >= 0.0001)
        if err_idx.size:
            print(err_idx, position[err_idx], each_max_weight[err_idx])
            raise Exception("Wrong Position Error")
        return position

    @staticmethod
    def _balance(position, cand, bound, target, reduce):
        """Move visited candidates (already in visiting order) to their bound
        until the moved weight reaches target; the last one keeps the overshoot.

        Candidate indices are distinct, so every room depends on the initial
        weights only and the running total is a cumsum. Candidates without room
        add an exact 0.0 and are left untouched; since target > 0 the crossing
        never lands on one of them.
        """
        cur = position[cand]
        if reduce:
            room = cur - bound
            no_room = room <= 0
        else:
            room = bound - cur
            no_room = cur >= bound
        room = np.where(no_room, 0.0, room)
        cum = np.cumsum(room)
        crossed = cum >= target
        if crossed.any():
            k = int(crossed.argmax())
        else:
            k = cand.size
        moved = ~no_room[:k]
        position[cand[:k][moved]] = bound[:k][moved]
        if k < cand.size:
            over = cum[k] - target
            position[cand[k]] = bound[k] + over if reduce else bound[k] - over

    def MapValue2Position(self, cur_model_value, num_long, secu_pct, bench_weight,
                          bench_coeff, pre_weight, pre_coeff):
        s = self.GenNorm_Step1(cur_model_value)
        if bench_coeff > 0:
            s = s + self.GenNorm_Step1(bench_weight) * bench_coeff
        if pre_coeff > 0 and np.sum(pre_weight) >= 0.8:
            s = s + self.GenNorm_Step1(pre_weight) * pre_coeff
        arg_idx = np.argsort(-s)
        long_idx = arg_idx[:num_long]
        position = np.zeros(s.shape[0])
        position[long_idx] = np.maximum(s[long_idx], 0)
        return position / np.sum(position) * secu_pct

    # ----------------------------------------------------- dispatch, caps

    def CalcCurrentPosition(self, cur_model_value, try_ema_value, weight_multi, num_long,
                            risk_cost, each_single_weight, cur_bench, bench_coeff,
                            pre_weight, pre_coeff, max_weight=-1):
        opt_name = self.opt_name
        if opt_name == "TopM":
            caps = self.GenMaxWeight(try_ema_value, weight_multi, cur_bench, bench_coeff,
                                     pre_weight, pre_coeff, max_weight)
            return self.MapValue2Position_MaxWeight_RiskCost(
                cur_model_value, caps, self.secu_pct, pre_weight, risk_cost)
        if opt_name == "TopM2":
            caps = self.GenMaxWeight(try_ema_value, weight_multi, cur_bench, bench_coeff,
                                     pre_weight, pre_coeff, max_weight)
            return self.MapValue2Position_MaxWeight(try_ema_value, caps, self.secu_pct)
        if opt_name == "TopEqual":
            caps = self.GenMaxWeight_Equal(try_ema_value, each_single_weight, cur_bench,
                                           bench_coeff, pre_weight, pre_coeff, max_weight)
            return self.MapValue2Position_MaxWeight_RiskCost(
                cur_model_value, caps, self.secu_pct, pre_weight, risk_cost)
        if opt_name == "TopEqual2":
            caps = self.GenMaxWeight_Equal(try_ema_value, each_single_weight, cur_bench,
                                           bench_coeff, pre_weight, pre_coeff, max_weight)
            return self.MapValue2Position_MaxWeight(try_ema_value, caps, self.secu_pct)
        if opt_name == "TopKR":
            return self.MapValue2Position(try_ema_value, num_long, self.secu_pct, cur_bench,
                                          bench_coeff, pre_weight, pre_coeff)
        raise Exception("Wrong opt_name:{}".format(opt_name))

    def GenMaxWeight(self, model_value, weight_multi, cur_bench, bench_coeff,
                     pre_weight, pre_coeff, max_weight=-1.0):
        model_value_positive = np.maximum(_f64(model_value), 0)
        y_norm = model_value_positive / np.sum(model_value_positive) * weight_multi
        caps = np.maximum(y_norm, 0)
        if max_weight > 0:
            caps = np.minimum(caps, max_weight)
        # Ceiling before the floors: a large benchmark or held weight wins.
        caps = np.maximum(caps, _f64(cur_bench) * bench_coeff)
        return np.maximum(caps, _f64(pre_weight) * pre_coeff)

    def GenMaxWeight_Equal(self, model_value, each_single_weight, cur_bench, bench_coeff,
                           pre_weight, pre_coeff, max_weight=-1.0):
        caps = np.full(len(model_value), each_single_weight, dtype=np.float64)
        caps = np.maximum(caps, _f64(cur_bench) * bench_coeff)
        caps = np.maximum(caps, _f64(pre_weight) * pre_coeff)
        # Here the ceiling comes last and so always holds.
        if max_weight > 0:
            caps = np.minimum(caps, max_weight)
        return caps

    # ---------------------------------------------------------------- risk

    def CalcRiskExposure(self, barra, position, bench_weight):
        barra = _f64(barra)
        hold_barra = np.sum(barra * _f64(position))
        bench_barra = np.sum(barra * _f64(bench_weight))
        return hold_barra, bench_barra, hold_barra - bench_barra

    def CalcRiskExposure_Multi(self, arr_barra, position, bench_weight):
        # Multiply-and-sum rather than a BLAS product: NaN * 0 must stay NaN.
        arr_barra = _f64(arr_barra)
        hold_barra = np.sum(arr_barra * _f64(position), axis=1)
        bench_barra = np.sum(arr_barra * _f64(bench_weight), axis=1)
        return hold_barra, bench_barra, hold_barra - bench_barra

    # -------------------------------------------------------------- driver

    def gen_position(self, predictValues, univ_idx):
        cfg = self.cfg
        print_result = self.GetValueOrDefault(cfg, "print_result", True)
        learning_rate = self.GetValueOrDefault(cfg, "learning_rate", 0.1)
        max_loop_num = self.GetValueOrDefault(cfg, "max_loop_num", 100)
        max_weight = self.GetValueOrDefault(cfg, "max_weight", -1)

        opt_name = self.opt_name
        known = isinstance(opt_name, str) and opt_name in ALGORITHM_SETTINGS
        own = {key: cfg[key] for key in (ALGORITHM_SETTINGS[opt_name] if known else ())}
        weight_multi, risk_cost = own.get("weight_multi"), own.get("risk_cost")
        num_long, each_single_weight = own.get("num_long"), own.get("each_single_weight")

        decay = cfg["decay"]
        bench_coeff = cfg["bench_coeff"]
        pre_coeff = cfg["pre_coeff"]
        each_sector_expo = cfg["each_sector_expo"]
        barra_expo_map = cfg["risk_factor_expo"]

        orig_barra_num = len(barra_expo_map)
        if each_sector_expo <= _SECTOR_LIMIT_ON:
            for code in range(SECTOR_COUNT):
                barra_expo_map[sector_formula(code)] = each_sector_expo
        barra_name_list = list(barra_expo_map.keys())
        arr_expo_threshold = np.array(list(barra_expo_map.values()), dtype=np.float64)
        n_risk = len(barra_name_list)

        import VelaIntradayModel as vela

        self.barra_data = vela.RunLoopOnce(barra_name_list) if n_risk else None
        self.benchweight_data = vela.RunLoopOnce([self.get_weight_name()])[0].array

        with warnings.catch_warnings(), np.errstate(all="ignore"):
            # All-NaN and zero-deviation rows are legal; numpy's noise about
            # them is not a message of this system.
            warnings.simplefilter("ignore", RuntimeWarning)
            weight_res, empty_rows = self._run_dates(
                predictValues, univ_idx, print_result, learning_rate, max_loop_num,
                max_weight, weight_multi, risk_cost, num_long, each_single_weight,
                decay, bench_coeff, pre_coeff, arr_expo_threshold, orig_barra_num, n_risk)

        if empty_rows:
            warnings.warn(
                "Kestrel: {} date(s) left empty because they had no usable scores (all missing or all "
                "equal) or their weights were not finite: rows {}".format(len(empty_rows), empty_rows),
                RuntimeWarning, stacklevel=2)
        return weight_res

    def _run_dates(self, predictValues, univ_idx, print_result, learning_rate,
                   max_loop_num, max_weight, weight_multi, risk_cost, num_long,
                   each_single_weight, decay, bench_coeff, pre_coeff,
                   arr_expo_threshold, orig_barra_num, n_risk):
        clean = np.nan_to_num(np.array(predictValues, dtype=np.float64),
                              nan=0.0, posinf=0.0, neginf=0.0, copy=False)
        norm_values = self.GenNorm(clean)
        n_dates, n_secu = norm_values.shape
        univ_idx = np.asarray(univ_idx, dtype=np.intp)

        bench_data = np.asarray(self.benchweight_data)
        barra_arrays = ([np.asarray(self.barra_data[j].array) for j in range(n_risk)]
                        if n_risk else [])

        weight_res = np.zeros(norm_values.shape, dtype=norm_values.dtype)
        pre_ema_value = None
        pre_weight = np.zeros(n_secu)
        empty_rows = []

        for bi in _progress(range(n_dates), n_dates):
            if bi > 0:
                pre_weight = weight_res[bi - 1]
            cur_model_value = self.GenNorm_Step1(norm_values[bi])
            try_ema_value = self.GenEma_Step1(cur_model_value, pre_ema_value, decay)

            cur_bench = np.nan_to_num(bench_data[bi, univ_idx], nan=0.0)
            bench_sum = np.sum(cur_bench)
            if np.isnan(bench_sum) or bench_sum < _MIN_BENCH_SUM:
                continue
            if np.isnan(cur_model_value).all():
                empty_rows.append(bi)
                continue
            cur_bench = cur_bench / bench_sum

            arr_barra = np.zeros((n_risk, n_secu))
            for j in range(n_risk):
                arr_barra[j] = barra_arrays[j][bi, univ_idx]
            np.nan_to_num(arr_barra, nan=0.0, copy=False)

            calc_pos = self.CalcCurrentPosition(
                cur_model_value, try_ema_value, weight_multi, num_long, risk_cost,
                each_single_weight, cur_bench, bench_coeff, pre_weight, pre_coeff,
                max_weight)

            if n_risk > 0:
                calc_pos, try_ema_value = self._control_exposure(
                    bi, arr_barra, cur_bench, arr_expo_threshold, orig_barra_num,
                    calc_pos, cur_model_value, try_ema_value, pre_ema_value,
                    print_result, learning_rate, max_loop_num, decay, weight_multi,
                    num_long, risk_cost, each_single_weight, bench_coeff, pre_weight,
                    pre_coeff, max_weight)

            if not np.isfinite(calc_pos).all():
                empty_rows.append(bi)
                continue
            pre_ema_value = try_ema_value
            weight_res[bi] = calc_pos

        return weight_res, empty_rows

    def _control_exposure(self, bi, arr_barra, cur_bench, arr_expo_threshold,
                          orig_barra_num, calc_pos, cur_model_value, try_ema_value,
                          pre_ema_value, print_result, learning_rate, max_loop_num,
                          decay, weight_multi, num_long, risk_cost, each_single_weight,
                          bench_coeff, pre_weight, pre_coeff, max_weight):
        loop_count = 0
        first_expo = expo = None
        # The benchmark side of every measurement is fixed for the date. The
        # driver has already replaced NaN in arr_barra, so a BLAS product is
        # safe here (CalcRiskExposure_Multi keeps NaN * 0 for direct callers).
        bench_barra = arr_barra @ cur_bench
        while loop_count < max_loop_num:
            loop_count += 1
            expo = arr_barra @ calc_pos - bench_barra
            if first_expo is None:
                first_expo = expo
            over_risk_idx = np.flatnonzero(np.abs(expo) > arr_expo_threshold)
            if over_risk_idx.size == 0:
                break
            cur_expo = expo[over_risk_idx]
            more_expo = np.abs(np.abs(cur_expo) - arr_expo_threshold[over_risk_idx])
            each_barra_bias = arr_barra[over_risk_idx] - bench_barra[over_risk_idx, None]
            bias_std = np.nanstd(each_barra_bias, axis=1)
            # A flat risk name can't tell securities apart; correcting by it
            # would only turn every score into NaN or infinity.
            usable = (bias_std != 0) & np.isfinite(bias_std)
            sigmoid = 1.0 / (1.0 + np.exp(-more_expo[usable]))
            risk_punish = (each_barra_bias[usable] / bias_std[usable, None]
                           * (np.sign(cur_expo[usable]) * sigmoid)[:, None])
            # Corrections of one pass add up on the same scores, in name order.
            for punish in risk_punish:
                cur_model_value = cur_model_value - punish * learning_rate
            cur_model_value = self.GenNorm_Step1(cur_model_value)
            try_ema_value = self.GenEma_Step1(cur_model_value, pre_ema_value, decay)
            calc_pos = self.CalcCurrentPosition(
                cur_model_value, try_ema_value, weight_multi, num_long, risk_cost,
                each_single_weight, cur_bench, bench_coeff, pre_weight, pre_coeff,
                max_weight)

        if print_result:
            first = None if first_expo is None else first_expo[:orig_barra_num]
            last = None if expo is None else expo[:orig_barra_num]
            bench_hold = np.sum(calc_pos[cur_bench >= 1e-05])
            hold_num = int(np.count_nonzero(calc_pos >= 0.0001))
            print(f"{bi} LoopCount: {loop_count} FirstExpo: {_vec(first)} "
                  f"LastExpo: {_vec(last)} BenchHold: {_num(bench_hold)} "
                  f"HoldNum: ({hold_num},) {_num(np.sum(calc_pos))}")
        return calc_pos, try_ema_value


# ------------------------------------------------------------ entry points

def _entry(opt_name):
    def run(bench_symbol, secu_pct, cfg, predictValues, univ_idx):
        return NumpyOptimizer(opt_name, bench_symbol, secu_pct, cfg).gen_position(predictValues, univ_idx)
    return run


opt_gen_position = _entry("TopM")
opt_gen_position_topm = _entry("TopM")
opt_gen_position_topm2 = _entry("TopM2")
opt_gen_position_topkr = _entry("TopKR")
opt_gen_position_topequal = _entry("TopEqual")
opt_gen_position_topequal2 = _entry("TopEqual2")


def opt_gen_position_type(bench_symbol, secu_pct, cfg, predictValues, univ_idx):
    opt_name = cfg["type"]
    return NumpyOptimizer(opt_name, bench_symbol, secu_pct, cfg).gen_position(
        predictValues, univ_idx)
